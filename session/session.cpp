#include "session/session.h"

#include "platform/secure_wipe.h"
#include "send/http_request.h"

namespace corvane {

Session::Session(EventSink& sink)
    : m_core([this](unsigned message) { return m_delivery.Notify(message); }),
      m_delivery(m_core.router, sink),
      m_links{{Link(kInteractiveRole, m_core), Link(kBroadcastRole, m_core)}} {
  m_core.SetProxySource(SystemProxySettingsSource());
  m_core.SetTlsPolicySource(SystemTlsPolicySource());
}

Session::~Session() {
  try {
    // Ask every thread to end before joining any, so they wind down together:
    // a worker's pause or connect ends at once, a reader within its poll.
    for (Link& link : m_links) {
      link.SetReading(false);
      link.Worker().Cancel();
      link.RequestStop();
    }
    m_keepAlive.Stop();
    for (Link& link : m_links) link.Worker().Stop();
    // Sockets are only closed once no reader can be using them.
    for (Link& link : m_links) {
      link.Close();
      link.CleanupSockets();
    }
  } catch (...) {
  }
}

void Session::Fire(EventKind kind, LinkId link, std::string_view text) {
  m_delivery.Fire(Event{kind, link, std::string(text), 0});
}

void Session::CatchUp() { m_delivery.CatchUp(m_core.TakeConnectionEventMark()); }

void Session::Reset(bool multiOC) {
  // A worker's run is cancelled and joined, and none starts while the
  // settings change.
  HoldLinks hold(*this);
  m_core.settings.Update([multiOC](Settings& s) {
    Settings fresh;
    // The user id stays; the password and its Base64 form are overwritten
    // (the Secrets wipe what they let go).
    fresh.proxyUser = s.proxyUser;
    fresh.multiOC = multiOC;
    s = std::move(fresh);
  });
  // The readers end now (the sockets stay open). A drop one of them found
  // meanwhile stays reported, but is not reconnected.
  for (Link& link : m_links) {
    link.SetReading(false);
    link.StopReader();
    link.Worker().DropTrigger();
    link.Reset();
  }
  m_requestCount.store(0);
  m_core.router.Reset();
}

void Session::ConnectBoth() {
  // The readers of the links about to be made again end first, so a drop
  // they find is queued before, not after, this call's events; what a reader
  // or worker queued is then seen first, and their requests to reconnect are
  // moot.
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  if (settings->reconnectCount >= 0) {
    for (Link& link : m_links) {
      if (link.Id() == LinkId::Broadcast && !settings->multiOC) continue;
      link.StopReader();
      link.Worker().DropTrigger();
      link.TakeDropQueued();
    }
  }
  CatchUp();
  RunOwnerSequence(Interactive());
  if (CurrentSettings()->multiOC) RunOwnerSequence(GetLink(LinkId::Broadcast));
}

void Session::RunOwnerSequence(Link& link) {
  const LinkRole& role = link.Role();
  for (int64_t failures = 0;; ++failures) {
    // The host is done with the component: nothing more is attempted or
    // fired.
    if (m_core.Abandoned()) return;
    // Read again on every pass: a callback may change the count.
    const int64_t count = CurrentSettings()->reconnectCount;
    // The interactive sequence makes count + 1 attempts back to back; the
    // broadcast one makes one per pass, and only a negative count is
    // already exceeded there.
    const int64_t allowed = role.ownerRetries ? count + 1 : (count < 0 ? 0 : 1);
    if (failures >= allowed) {
      if (role.ownerRetries || failures == 0)
        Fire(EventKind::MaximumReConnection, role.id, role.EventText());
      return;
    }
    if (link.Attempt(nullptr) == 0) break;
    if (m_core.Abandoned()) return;  // the attempt was given up, not failed
    Fire(EventKind::ConnectionFailure, role.id, role.EventText());
  }
  link.NoteConnected();
  Fire(EventKind::Connect, role.id, kEventTrue);
  // Set after the event: a keep-alive asked for inside the first
  // handleConnect starts nothing.
  link.StartReading();
}

int32_t Session::ConnectToServer() {
  Link& link = Interactive();
  Reconnector::OwnerScope hold(link.Worker());
  // In the two-connection set-up the connections are made by
  // SetServerDetails and setOCDetails.
  if (GetLink(LinkId::Broadcast).Port() != 0) return 0;
  // The attempt ended the link's reader before it replaced the socket. A
  // connection that was being read is read on, now from the new socket;
  // after a failed attempt there is nothing to read and reading ends.
  // Without a connection sequence before, the script reads for itself with
  // ReceiveData and no reader is started.
  if (link.Attempt(nullptr, false) != 0) {
    link.SetReading(false);
    return kResultFailed;
  }
  if (link.Reading()) {
    link.NoteConnected();
    link.StartReading();
  }
  return 0;
}

int32_t Session::SendRequest(std::string_view message) {
  Link& link = Interactive();
  Reconnector::OwnerScope hold(link.Worker());
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  // The authorization line (and the server's port) only for a request that
  // goes to the proxy itself.
  std::string request =
      BuildHttpRequest(link.RequestHost(), message, link.RequestsGoToProxy() ? 1 : 0,
                       settings->proxyCredentials, settings->proxyAuth.View(), link.Port());
  // A message or a host that would write lines of its own: nothing is sent
  // and the connection is left as it is.
  if (request.empty()) return kResultFailed;
  // Never sent on a connection already found lost.
  const int32_t result = link.Lost() ? kResultSendFailed : link.SendWhole(request);
  SecureWipe(request);
  if (result == 0) {
    CountRequest();
    return 0;
  }
  // The connection is gone (or was never made): close it, report it and
  // connect again now. The request is not sent again. The reader ends first,
  // so whether it has already queued this drop's "false" is known: then that
  // one is delivered (with what came before it), not a second.
  link.Close();
  link.Worker().DropTrigger();
  const bool queued = link.TakeDropQueued();
  CatchUp();
  if (!queued) Fire(link.Role().dropEvent, link.Id(), kEventFalse);
  // No reader is left: if the attempts run out, nothing reads.
  link.SetReading(false);
  RunOwnerSequence(link);
  return result;
}

// The script's own steps on the socket: the connection keeps a worker from
// closing (and the system from reusing) the descriptor while they use it.
int32_t Session::SendConnect() { return Interactive().SendTunnelRequest(); }

int Session::ReceiveOnce(std::string& text, int& error) {
  return Interactive().ReceiveOnce(text, error);
}

int32_t Session::StartKeepAlive() {
  // No interactive connection has been made yet.
  if (!Interactive().Reading()) return 0;
  const int32_t period = CurrentSettings()->keepAliveIntervalMs;
  // A periodic timer cannot have a negative period.
  if (period < 0) return kResultFailed;
  return m_keepAlive.Start(period) ? 0 : kResultFailed;
}

int32_t Session::PacketCount() const {
  int32_t sum = 0;
  for (const Link& link : m_links) sum += link.Packets();
  return sum;
}

SessionSnapshot Session::Snapshot() const {
  SessionSnapshot s;
  s.settings = CurrentSettings();
  for (const Link& link : m_links) s.links[Index(link.Id())] = link.Snapshot();
  s.loggedOn = m_core.router.LoggedOn();
  s.requestCount = RequestCount();
  return s;
}

}  // namespace corvane
