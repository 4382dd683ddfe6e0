#include "session/link.h"

#include <algorithm>

#include "codec/base64.h"
#include "platform/proxy_auth.h"
#include "platform/secure_wipe.h"
#include "platform/trace.h"
#include "send/http_request.h"

namespace corvane {
namespace {

constexpr size_t kPausesKept = 64;
// Back-pressure: while the owner thread has this much still to deliver, a
// reader leaves its socket alone, so the receive window closes and the
// server slows down; memory stays bounded however far the host falls behind.
constexpr size_t kMaxQueuedEvents = 8192;
constexpr size_t kMaxQueuedBytes = size_t{8} << 20;
constexpr int32_t kReaderPeriodMs = 100;
// Rounds of proxy authentication in one attempt: Negotiate takes one, NTLM
// two, Basic one; a proxy that keeps asking is not answered for ever.
constexpr int kMaxAuthRounds = 4;

// The next stage of the pipeline: splitting and routing through the
// session's router, counted on this link.
class RouteStage : public BlockSink {
 public:
  RouteStage(CMessageRouter& router, const CMessageRouter::Context& context)
      : m_router(router), m_context(context) {}
  std::optional<std::string> OnBlock(std::string_view text) override {
    return m_router.RouteBlock(text, m_context).sessionKey;
  }

 private:
  CMessageRouter& m_router;
  const CMessageRouter::Context& m_context;
};

// Why an attempt may not be made, for the trace; nullptr when it may. A port
// outside 1..65535 would otherwise reach its low 16 bits (70000 is 4464), a
// host with a control byte or a space would write lines of its own into the
// proxy's requests, and an IPv6 proxy cannot be reached over the IPv4
// connections made here.
// A platform's reason as the trace shows it: printable ASCII only, bounded.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 300)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

const char* Refusal(const Endpoint& endpoint, const Route& route) {
  if (!route.refusal.empty()) return route.refusal.c_str();
  if (endpoint.port < 1 || endpoint.port > 65535) return "the server's port is not 1 to 65535";
  if (!FitsHostName(endpoint.name)) return "the server's name holds a control byte or a space";
  if (route.proxyEnable == 1 && route.proxyHost.find(':') != std::string::npos)
    return "the proxy is an IPv6 address: connections are made over IPv4";
  return nullptr;
}

}  // namespace

Link::Link(LinkRole role, SessionCore& core) : m_role(role), m_core(core) {}

Link::~Link() {
  try {
    m_worker.Stop();
    m_connection.StopReader();
  } catch (...) {
  }
}

// ---- Endpoint ----

void Link::SetEndpoint(std::string name, int32_t port) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // A name set anew is the name from now on, resolved again when needed.
  if (name != m_endpoint.name) m_endpoint.address.clear();
  m_endpoint.name = std::move(name);
  m_endpoint.port = port;
}

void Link::SetPort(int32_t port) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endpoint.port = port;
}

int32_t Link::Port() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_endpoint.port;
}

std::string Link::RequestHost() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_endpoint.Host();
}

bool Link::RequestsGoToProxy() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_route.RequestsGoToProxy();
}

// ---- Attempts ----

int32_t Link::Attempt(const Reconnector* worker, bool tunnel) {
  try {
    // Given up when the session is abandoned or, for a worker's attempt, when
    // the owner takes over; the session's floor paces every attempt.
    const std::function<bool()> cancelled = [this, worker] {
      return m_core.Abandoned() || (worker != nullptr && worker->Cancelled());
    };
    if (!m_core.PaceAttempt(cancelled)) return kResultFailed;
    if (!net::Startup()) return kResultFailed;
    m_startups.fetch_add(1);
    const std::shared_ptr<const Settings> settings = m_core.settings.Get();
    Endpoint endpoint;
    Route route;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      endpoint = m_endpoint;
      route = m_route;
    }
    // A new opening: no tunnel request yet, and the attempt counts as failed
    // until it is connected.
    route.tunnelSent = false;
    const bool previousFailed = route.attemptOpen;
    route.attemptOpen = true;
    const std::shared_ptr<ProxySettingsSource> source = m_core.ProxySource();
    ChooseRoute(source.get(), endpoint.name, previousFailed, route);
    // TLS when the script asked for it on this connection, or the
    // administrator's policy names the server; a plain connection the
    // policy refuses is not made.
    const std::shared_ptr<TlsPolicySource> policySource = m_core.TlsPolicyFrom();
    const TlsPolicy policy = policySource ? policySource->Read() : TlsPolicy{};
    const TlsSettings& security = settings->tls[Index(m_role.id)];
    const bool secure = security.on || TlsPolicyNames(policy, endpoint.name, endpoint.port);
    const char* refused = Refusal(endpoint, route);
    if (refused == nullptr && !secure && policy.refusePlain)
      refused = "plain connections are refused by the administrator's policy";
    // TLS reaches the server itself, so through a proxy it needs the tunnel.
    if (refused == nullptr && secure && route.proxyEnable == 1 &&
        !(tunnel && settings->proxyCredentials))
      refused = "TLS through a proxy needs its tunnel (proxy credentials)";
    if (refused != nullptr) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_route = route;
      DebugTrace("ConnectSocket - %s\n", refused);
      return kResultFailed;
    }

    // Names are resolved unless the script said addresses are dotted: the
    // proxy's when going through it, else the server's own, once.
    const bool resolve = settings->ipAddrFormatFlag == 0;
    std::string host;
    int32_t port = 0;
    bool resolved = true;
    // The proxy as the configuration named it: integrated authentication asks
    // for a ticket for this name, not for its address.
    const std::string proxyName = route.proxyHost;
    if (route.proxyEnable == 1) {
      std::string dotted;
      if (resolve) resolved = net::ResolveIPv4(route.proxyHost, dotted);
      if (resolve && resolved) route.proxyHost = dotted;
      host = route.proxyHost;
      port = route.proxyPort;
    } else {
      if (resolve && endpoint.address.empty()) {
        std::string dotted;
        if ((resolved = net::ResolveIPv4(endpoint.name, dotted))) endpoint.address = dotted;
      }
      host = endpoint.Host();
      port = endpoint.port;
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_route = route;
      m_endpoint.address = endpoint.address;
    }
    if (!resolved) return kResultFailed;

    m_connection.SetKeepAliveTiming(KeepAliveTimingFor(settings->keepAliveIntervalMs));
    // The old connection's reader ends inside Open; what it held can never be
    // completed, so the receive side starts afresh.
    const int32_t opened = m_connection.Open(host, port, cancelled);
    ResetReceive();
    if (opened != 0) return kResultFailed;

    if (tunnel && route.proxyEnable == 1 && settings->proxyCredentials) {
      const TunnelTarget target{endpoint.Host(), endpoint.port, proxyName, host, port};
      if (OpenTunnel(target, *settings, policy.integratedProxyAuth, cancelled) != 0) {
        m_connection.Close();
        return kResultFailed;
      }
    }
    if (secure) {
      // Directly at once, through a proxy once its tunnel is up, as HTTPS
      // does; the handshake counts against the attempt.
      tls::Failure failure = tls::Failure::None;
      std::string why;
      if (m_connection.StartTls({endpoint.name, security.pins}, m_core.tunnelAnswerWaitMs.load(),
                                cancelled, &failure, &why) != 0) {
        DebugTrace("ConnectSocket - TLS with %s failed: %s (%s)\n", endpoint.name.c_str(),
                   tls::FailureName(failure), why.c_str());
        m_connection.Close();
        return kResultFailed;
      }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_route.attemptOpen = false;
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

int32_t Link::OpenTunnel(const TunnelTarget& target, const Settings& settings, bool integrated,
                         const std::function<bool()>& cancelled) {
  // Real credentials of the script go by Basic, first without being asked
  // (as they always did); both empty stand for none.
  const bool basic = !(settings.proxyUser.Empty() && settings.proxyPassword.Empty());
  ProxyAuthScheme scheme = basic ? ProxyAuthScheme::Basic : ProxyAuthScheme::None;
  Secret token(basic ? settings.proxyAuth.View() : std::string_view());
  std::unique_ptr<auth::Context> context;
  for (int round = 0;; ++round) {
    std::string request = BuildConnectRequestFor(target.server, target.serverPort,
                                                 ProxyAuthName(scheme), token.View());
    token.Wipe();
    if (request.empty()) return kResultFailed;
    const int32_t sent =
        m_connection.SendWhole(request.data(), static_cast<int32_t>(request.size()));
    SecureWipe(request);  // it holds the credentials or the token
    // A failed first tunnel request does not fail the attempt; the next
    // failed send finds the broken connection.
    if (sent != 0) return round == 0 ? 0 : kResultFailed;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_route.tunnelSent = true;
    }
    const TunnelAnswer answer =
        ReadTunnelAnswer(m_connection.Socket(), m_core.tunnelAnswerWaitMs.load(), cancelled);
    // A 200 is the tunnel, even while the context would take one more token:
    // proxies send no mutual-authentication token with it.
    if (answer.outcome == TunnelAnswer::Outcome::Open) return 0;
    if (answer.outcome == TunnelAnswer::Outcome::NoAnswer) return kResultFailed;
    const char* failure = nullptr;  // why no further round is made
    std::string why;
    std::string input;
    if (answer.status != 407) {
      failure = "not an authentication request";
    } else if (round >= kMaxAuthRounds) {
      failure = "authentication rounds exhausted";
    } else if (context != nullptr) {
      // In the middle of a handshake: the proxy's next token, or none when it
      // rejected the one it was given.
      const std::string offered = ProxyAuthToken(answer.challenges, scheme);
      CBase64 decoder;
      if (offered.empty() || !decoder.Decode(offered.data(), static_cast<uint32_t>(offered.size())))
        failure = "the proxy rejected the token";
      else
        input.assign(reinterpret_cast<const char*>(decoder.GetBytes()), decoder.ByteLength());
    } else {
      const ProxyAuthScheme next = ChooseProxyAuth(answer.challenges, integrated, basic);
      if (next == ProxyAuthScheme::None || next == scheme) {
        failure = next == ProxyAuthScheme::None ? "no scheme the component can answer"
                                                : "the proxy rejected the credentials";
      } else if (next == ProxyAuthScheme::Basic) {
        token = settings.proxyAuth;
      } else {
        context = auth::StartContext(
            next == ProxyAuthScheme::Negotiate ? auth::Mechanism::Negotiate : auth::Mechanism::Ntlm,
            target.proxyName, why);
        if (context == nullptr) failure = "no credentials of the user's";
      }
      scheme = next;
    }
    if (failure == nullptr && context != nullptr) {
      std::string raw;
      if (context->Next(input, raw, why) == auth::Step::Failed) {
        failure = "no token for the proxy";
      } else {
        token = Secret(Base64Encode(raw));
      }
      SecureWipe(raw);
    }
    SecureWipe(input);
    // A handshake under way is bound to its connection.
    if (failure == nullptr && !answer.reusable && context != nullptr && round > 0 &&
        scheme != ProxyAuthScheme::Basic && !ProxyAuthToken(answer.challenges, scheme).empty())
      failure = "the proxy closed the connection in the middle of the handshake";
    if (failure != nullptr) {
      // The status line, then why no further round was made: the scheme and
      // what the platform said, never a token.
      std::string reason;
      if (answer.status == 407) {
        reason = std::string(" (") + failure;
        if (scheme != ProxyAuthScheme::None) reason += ", " + std::string(ProxyAuthName(scheme));
        if (!why.empty()) reason += ": " + Printable(why);
        reason += ")";
      }
      DebugTrace("ConnectSocket - the proxy refused the tunnel: %s%s\n", answer.statusLine.c_str(),
                 reason.c_str());
      return kResultFailed;
    }
    if (!answer.reusable) {
      // The next round on a new connection to the proxy.
      if (m_connection.Open(target.proxyAddress, target.proxyPort, cancelled) != 0) {
        token.Wipe();
        return kResultFailed;
      }
      ResetReceive();
    }
  }
}

bool Link::StartReading() {
  try {
    SetReading(true);
    // A drop this reader finds is reconnected by the link's worker.
    m_worker.Start();
    // One reader per connection: the connection ends the previous one first.
    return m_connection.StartReader(*this, kReaderPeriodMs);
  } catch (...) {
    return false;
  }
}

void Link::NoteConnected() {
  const int64_t now = m_core.NowMs();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_connectedAtMs = now;
}

void Link::Close() {
  // The connection ends its reader before it closes the socket, so a closed
  // (and perhaps reused) descriptor is never read.
  m_connection.Close();
}

int32_t Link::SendWhole(const std::string& bytes) {
  return m_connection.SendWhole(bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t Link::SendTunnelRequest() {
  const std::shared_ptr<const Settings> settings = m_core.settings.Get();
  Endpoint endpoint;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only a proxy with credentials gets a tunnel request: the request always
    // carries the authorization line.
    if (m_route.proxyEnable != 1 || !settings->proxyCredentials) return 0;
    endpoint = m_endpoint;
  }
  std::string request =
      BuildConnectRequest(endpoint.Host(), endpoint.port, settings->proxyAuth.View());
  const int32_t sent = SendWhole(request);
  SecureWipe(request);
  if (sent != 0) return sent;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_route.tunnelSent = true;
  }
  // The receive side now takes the proxy's answer.
  SetTunnelRequested(true);
  return 0;
}

// ---- Flags and the receive side ----

void Link::Reset() {
  SetReading(false);
  m_dropQueued.store(0);
  m_packets.store(0);
  m_dataSeen.store(0);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_route.proxyEnable = 0;
    m_route.proxyPort = 0;
    m_endpoint.port = 0;
  }
  ResetReceive();
}

int32_t Link::Receive(int32_t length, const unsigned char* data) {
  const std::shared_ptr<const Settings> settings = m_core.settings.Get();
  m_core.ObserveChunk({m_role.id, data, length, settings->compression, settings->encryption,
                       m_connection.Openings()});
  // Only the feed is conflated: the interactive connection carries the
  // answers to the page's own requests, each of which it must see.
  const bool conflate = m_role.id == LinkId::Broadcast && settings->conflation.On();
  const CMessageRouter::Context context{m_role.id, settings->encryption,
                                        m_dataSeen.load() != 0 ? &m_packets : nullptr,
                                        conflate ? &settings->conflation : nullptr};
  RouteStage next(m_core.router, context);
  ReceiveSettings in;
  in.compression = settings->compression;
  in.encryption = settings->encryption;
  in.multiOC = settings->multiOC;
  in.reading = Reading();
  std::lock_guard<std::mutex> lock(m_receiveMutex);
  const FedChunk fed = FeedChunk(m_assembler, length, data, in, m_core.keys, next);
  if (fed.setReading) SetReading(true);
  return fed.status;
}

void Link::SetTunnelRequested(bool requested) {
  std::lock_guard<std::mutex> lock(m_receiveMutex);
  m_assembler.SetTunnelRequested(requested);
}

void Link::ResetReceive() {
  std::lock_guard<std::mutex> lock(m_receiveMutex);
  m_assembler.Reset();
}

void Link::SetProxyEnable(int32_t value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_route.proxyEnable = value;
}

// ---- The reader's sink ----

bool Link::KeepReading(const Connection& /*connection*/) {
  // Every poll: a key held for its minimum interval is queued once it is
  // due, also when the feed has gone quiet.
  if (m_role.id == LinkId::Broadcast) m_core.router.ReleaseDue();
  return Reading();
}

bool Link::Backlogged(const Connection& /*connection*/) {
  return m_core.router.QueuedEvents() >= kMaxQueuedEvents ||
         m_core.router.QueuedBytes() >= kMaxQueuedBytes;
}

int32_t Link::OnChunk(Connection& /*connection*/, int32_t length, const unsigned char* data) {
  m_dataSeen.store(1);
  return Receive(length, data);
}

void Link::OnLoopFailed(Connection& /*connection*/) { SetReading(false); }

void Link::OnLost(Connection& /*connection*/, int /*error*/) {
  // A connection the owner no longer reads (reset, shutdown) is not reported.
  if (m_reading.exchange(0) == 0) return;
  m_dropQueued.store(1);
  QueueEvent(m_role.dropEvent, kEventFalse);
  m_worker.Trigger();
}

void Link::QueueEvent(EventKind kind, std::string_view text) {
  m_core.QueueConnectionEvent(Event{kind, m_role.id, std::string(text), 0});
}

// ---- Reconnection after a drop ----

std::vector<int32_t> Link::Pauses() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pauses;
}

void Link::Reconnect(Reconnector& worker) {
  // Asked by a reader whose socket the owner has replaced or closed since:
  // nothing left to do.
  if (!m_connection.Lost()) return;

  int32_t pause = 0;
  {
    const int64_t now = m_core.NowMs();
    const double random = m_core.Random();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_backoff.SetPolicy(m_core.Policy());
    pause = m_backoff.AfterDrop(now - m_connectedAtMs, random);
    if (m_pauses.size() >= kPausesKept) m_pauses.erase(m_pauses.begin());
    m_pauses.push_back(pause);
  }
  // The reader has ended; this joins it and closes the dead socket.
  m_connection.Close();
  SetReading(false);

  int64_t failures = 0;
  for (;;) {
    const std::shared_ptr<const Settings> settings = m_core.settings.Get();
    if (failures > settings->reconnectCount) {
      QueueEvent(EventKind::MaximumReConnection, m_role.EventText());
      break;
    }
    // Cancelled: the owner's own sequence takes over from here.
    if (!worker.Wait(pause)) return;
    if (Attempt(&worker) == 0) {
      NoteConnected();
      QueueEvent(EventKind::Connect, kEventTrue);
      StartReading();
      break;
    }
    // An attempt given up because the owner took over (or the session was
    // abandoned) reports nothing.
    if (worker.Cancelled() || m_core.Abandoned()) return;
    QueueEvent(EventKind::ConnectionFailure, m_role.EventText());
    ++failures;
    pause = std::max<int32_t>(0, settings->reconnectTimeMs);
  }
  m_dropQueued.store(0);
}

LinkSnapshot Link::Snapshot() const {
  LinkSnapshot s;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    s.endpoint = m_endpoint;
    s.route = m_route;
  }
  s.reading = Reading();
  s.packets = Packets();
  return s;
}

void Link::CleanupSockets() {
  // Balances this link's start-ups so other users of the socket layer in the
  // process keep theirs.
  for (int32_t n = m_startups.exchange(0); n > 0; --n) net::Cleanup();
}

}  // namespace corvane
