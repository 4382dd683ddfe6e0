// The sandbox back end: see backend.h.
//
// Each port thread runs one poll loop: accept (a new client replaces the
// current one), read, make what is due (answers, feed messages), write what
// the socket takes. Sockets are non-blocking and every wait is bounded (at most
// 20 ms), so Stop() is noticed promptly.
#include "tools/common/backend.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "protocol/wire.h"
#include "tools/common/backend_io.h"
#include "tools/common/requests.h"

namespace corvane::tools {

using namespace backend_io;

namespace {

constexpr int64_t kFeedAfterLogonNanos = 100 * kMillis;
// Output held per client before making more.
constexpr size_t kOutboxHighWater = 256 * 1024;
// Largest block put in one coded response: well inside the five-digit length.
constexpr size_t kMaxCodedBlock = 90000;

std::string ReplaceAll(std::string text, std::string_view what, std::string_view with) {
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

// When and how one port's clients are dropped (see backend.h), and the port's
// restarts.
class DropPlan {
 public:
  // dropsHere: the options name this port among those whose clients drop.
  DropPlan(const BackendOptions& o, LinkId port, bool dropsHere)
      : m_options(o),
        m_port(port),
        m_on(!o.drops.empty() && dropsHere && (o.dropEvery > 0 || o.dropIntervalMs > 0)) {}

  void Accepted(int64_t now) {
    m_acceptedAt = now;
    m_given = 0;
  }
  // How many more messages the current client may be given.
  int64_t Allowance(int64_t now) const {
    if (!Armed()) return INT64_MAX;
    if (Due(now)) return 0;
    return m_options.dropEvery > 0 ? m_options.dropEvery - m_given : INT64_MAX;
  }
  void Given(int64_t n) { m_given += n; }
  bool Due(int64_t now) const {
    if (!Armed()) return false;
    if (m_options.dropEvery > 0 && m_given >= m_options.dropEvery) return true;
    return m_options.dropIntervalMs > 0 && now >= DueByTime();
  }
  // When the interval runs out (INT64_MAX: never).
  int64_t DueByTime() const {
    if (!Armed() || m_options.dropIntervalMs <= 0) return INT64_MAX;
    return m_acceptedAt + m_options.dropIntervalMs * kMillis;
  }

  // Lets the client go as the next drop says; returns the record to log.
  // A restart also closes the listening socket until RestartDue.
  DropRecord Drop(std::optional<Client>& client, int& listenFd, int64_t lastWritten, int64_t now) {
    const tools::Drop kind = m_options.drops[m_count++ % m_options.drops.size()];
    client->End(kind == Drop::kReset ? Ending::kReset : Ending::kClose);
    client.reset();
    if (kind == Drop::kRestart) {
      CloseFd(listenFd);
      m_downUntil = now + m_options.restartPauseMs * kMillis;
    }
    return {m_port, kind, lastWritten, now};
  }
  bool Down() const { return m_downUntil != 0; }
  int64_t DownUntil() const { return m_downUntil; }
  // Listens again on the same port once the pause is over; false while down
  // (a failed bind is tried again on the next pass).
  void Restart(int& listenFd, int port, int64_t now) {
    if (m_downUntil == 0 || now < m_downUntil) return;
    std::string error;
    int actual = 0;
    listenFd = OpenPort(m_options.host, port, true, &actual, &error);
    if (listenFd >= 0) m_downUntil = 0;
  }

 private:
  // Drops are asked for and the limit is not reached.
  bool Armed() const {
    return m_on && (m_options.dropLimit <= 0 || m_count < static_cast<size_t>(m_options.dropLimit));
  }

  const BackendOptions& m_options;
  const LinkId m_port;
  const bool m_on;
  int64_t m_acceptedAt = 0;
  int64_t m_given = 0;
  size_t m_count = 0;
  int64_t m_downUntil = 0;
};

}  // namespace

const char* DropName(Drop drop) {
  switch (drop) {
    case Drop::kClose:
      return "close";
    case Drop::kReset:
      return "reset";
    case Drop::kRestart:
      return "restart";
  }
  return "?";
}

std::string LogonResponseText(const BackendOptions& options) {
  std::string text = std::string(wire::kTagCode) + "=" + options.logonCode + "|" +
                     std::string(wire::kTagSessionKey) + "=" + options.sessionKey;
  if (!options.logonExtra.empty()) text += "|" + options.logonExtra;
  return text;
}

bool IsSuccessLogonCode(const std::string& code) { return wire::IsLogonSuccess(code); }

std::string FeedMessage(int64_t sequence, int size, int64_t steadyNanos) {
  static constexpr const char* kSymbols[] = {"ARVL", "BSKT", "CRDN", "DLTA",
                                             "EMBR", "FJRD", "GLNT", "HVRN"};
  const int64_t tick = sequence * 7919 % 20000;
  char record[160];
  std::snprintf(record, sizeof record, "35=X|34=%lld|55=%s|270=%lld.%02lld|271=%lld|60=%lld",
                static_cast<long long>(sequence), kSymbols[sequence % 8],
                static_cast<long long>(100 + tick / 100), static_cast<long long>(tick % 100),
                static_cast<long long>(100 * (1 + sequence % 50)),
                static_cast<long long>(steadyNanos));
  std::string message(record);
  const size_t padStart = message.size() + 4;  // "|58="
  if (static_cast<size_t>(size) > padStart) {
    message += "|58=";
    // Letters from a small generator: text that compresses about as well as
    // real feed text, not 1000 to 1.
    uint64_t state = static_cast<uint64_t>(sequence) * 0x9E3779B97F4A7C15ull + 1;
    while (message.size() < static_cast<size_t>(size)) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      message.push_back(static_cast<char>('a' + state % 26));
    }
  }
  return message;
}

SandboxBackend::SandboxBackend(BackendOptions options) : m_options(std::move(options)) {}

SandboxBackend::~SandboxBackend() { Stop(); }

int SandboxBackend::FixedKeyResponses(int64_t clientsBefore) const {
  return m_options.fixedKeyFirstClientOnly && clientsBefore > 0 ? 0 : m_options.fixedKeyResponses;
}

int SandboxBackend::FirstDelayMs(Framing framing) const {
  if (m_options.firstDelayMs >= 0) return m_options.firstDelayMs;
  return FramingEncrypted(framing) ? 100 : 0;
}

bool SandboxBackend::Start(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!m_options.tlsCertificate.empty() || !m_options.tlsKey.empty()) {
    m_tls = backend_io::ServerTlsContext::Load(m_options.tlsCertificate, m_options.tlsKey, error);
    if (!m_tls) return false;
  }
  m_interactiveFd = OpenPort(m_options.host, m_options.interactivePort,
                             !m_options.refuseInteractive, &m_interactivePort, error);
  if (m_interactiveFd < 0) return false;
  m_broadcastFd = OpenPort(m_options.host, m_options.broadcastPort, !m_options.refuseBroadcast,
                           &m_broadcastPort, error);
  if (m_broadcastFd < 0) {
    CloseFd(m_interactiveFd);
    return false;
  }
  m_stop.store(false);
  m_interactiveThread = std::thread([this] { ServeInteractive(); });
  m_broadcastThread = std::thread([this] { ServeBroadcast(); });
  return true;
}

void SandboxBackend::Stop() {
  m_stop.store(true);
  if (m_interactiveThread.joinable()) m_interactiveThread.join();
  if (m_broadcastThread.joinable()) m_broadcastThread.join();
  CloseFd(m_interactiveFd);
  CloseFd(m_broadcastFd);
}

BackendStats SandboxBackend::Stats() const {
  BackendStats s;
  s.interactiveClients = m_counters.interactiveClients.load();
  s.broadcastClients = m_counters.broadcastClients.load();
  s.requests = m_counters.requests.load();
  s.logonResponses = m_counters.logonResponses.load();
  s.replies = m_counters.replies.load();
  s.feedMessages = m_counters.feedMessages.load();
  s.interactiveBytes = m_counters.interactiveBytes.load();
  s.broadcastBytes = m_counters.broadcastBytes.load();
  std::lock_guard<std::mutex> lock(m_dropsMutex);
  s.drops = static_cast<int64_t>(m_drops.size());
  return s;
}

std::vector<DropRecord> SandboxBackend::Drops() const {
  std::lock_guard<std::mutex> lock(m_dropsMutex);
  return m_drops;
}

void SandboxBackend::LogDrop(const DropRecord& record) {
  std::lock_guard<std::mutex> lock(m_dropsMutex);
  m_drops.push_back(record);
}

void SandboxBackend::ServeInteractive() {
  struct Answer {
    int64_t due;
    std::string text;
    bool logsOn;
  };
  const bool faults = m_options.faultsInteractive;
  const int64_t delay = faults ? m_options.delayMs * kMillis : 0;
  const std::string logon = LogonResponseText(m_options);
  const bool logonSucceeds = IsSuccessLogonCode(m_options.logonCode);

  std::optional<Client> client;
  RequestReader reader;
  bool loggedOn = false;
  std::deque<Answer> answers;
  int64_t logonEnd = -1;  // where the successful logon response ends in the output
  DropPlan plan(m_options, LinkId::Interactive, m_options.dropInteractive);
  int64_t answered = 0;  // answers given to the current client
  int64_t clients = 0;

  while (!m_stop.load()) {
    int64_t now = NowNanos();
    plan.Restart(m_interactiveFd, m_interactivePort, now);
    if (client && plan.Due(now) && !client->Pending()) {
      LogDrop(plan.Drop(client, m_interactiveFd, answered, now));
      answers.clear();
      continue;
    }
    if (client) {
      while (!answers.empty() && answers.front().due <= now && client->GateOpen(now) &&
             plan.Allowance(now) > 0) {
        client->Send(wire::JoinMessages({answers.front().text}));
        if (answers.front().logsOn) logonEnd = client->Queued();
        answers.pop_front();
        plan.Given(1);
        ++answered;
      }
      if (!client->Flush(now)) {
        client.reset();
        answers.clear();
      } else if (logonEnd >= 0 && client->Sent() >= logonEnd) {
        int64_t expected = 0;
        m_feedReleaseNanos.compare_exchange_strong(expected, now + kFeedAfterLogonNanos);
        logonEnd = -1;
      }
    }

    int64_t until = now + kMaxWaitNanos;
    if (client && !answers.empty()) {
      int64_t next = answers.front().due;
      if (!client->GateOpen(now)) {
        // Closed until the first response is out (a write wakes us) and the first
        // delay has passed.
        next = client->GateOpensAt() != 0 ? std::max(next, client->GateOpensAt()) : until;
      }
      until = std::min(until, next);
    }
    if (client) until = std::min(until, plan.DueByTime());
    if (plan.Down()) until = std::min(until, plan.DownUntil());
    Readiness r = Wait(m_interactiveFd, client ? client->fd() : -1, client && client->Pending(),
                       until, !m_options.refuseInteractive && !plan.Down());
    if (r.accept) {
      int fd = AcceptClient(m_interactiveFd);
      if (fd >= 0) {
        m_counters.interactiveClients.fetch_add(1);
        client.reset();
        client.emplace(fd, m_options.interactiveFraming, m_options.sessionKey,
                       FixedKeyResponses(clients++), faults ? m_options.closeAfterBytes : -1,
                       FirstDelayMs(m_options.interactiveFraming), m_counters.interactiveBytes,
                       m_tls.get());
        client->SetWriteMax(static_cast<size_t>(m_options.writeMax), m_options.seed * 2);
        plan.Accepted(NowNanos());
        answered = 0;
        reader = RequestReader();
        loggedOn = false;
        answers.clear();
        logonEnd = -1;
        if (!client->Flush(NowNanos())) client.reset();  // close-after-bytes 0
      }
      continue;
    }
    if (client && r.read) {
      std::optional<std::string> bytes = client->Read();
      if (!bytes) {
        client.reset();
        answers.clear();
        continue;
      }
      std::vector<std::string> messages;
      reader.Feed(*bytes, messages);
      const int64_t arrived = NowNanos();
      for (std::string& message : messages) {
        m_counters.requests.fetch_add(1);
        if (!loggedOn) {
          m_counters.logonResponses.fetch_add(1);
          loggedOn = logonSucceeds;
          answers.push_back({arrived + delay, logon, logonSucceeds});
        } else {
          m_counters.replies.fetch_add(1);
          answers.push_back(
              {arrived + delay, ReplaceAll(m_options.reply, "{request}", message), false});
        }
      }
    }
  }
}

void SandboxBackend::ServeBroadcast() {
  const bool faults = m_options.faultsBroadcast;
  const int64_t delay = faults ? m_options.delayMs * kMillis : 0;
  const std::string logon = LogonResponseText(m_options);
  const size_t messageSize = static_cast<size_t>(std::max(m_options.messageSize, 1));
  int batch = std::max(m_options.batch, 1);
  if (m_options.framing != Framing::kPlain)
    batch = static_cast<int>(
        std::clamp<size_t>(kMaxCodedBlock / (messageSize + 1), 1, static_cast<size_t>(batch)));
  const int64_t count = m_options.count < 0 ? INT64_MAX : m_options.count;
  const double rate = m_options.rate;

  std::optional<Client> client;
  int64_t acceptedAt = 0;
  int64_t startAt = 0;       // 0: not started
  int64_t scheduleFrom = 0;  // when the first feed message was made; 0: not yet
  int64_t sequence = 0;      // the next feed message's number
  int64_t made = 0;          // feed messages made for the current client
  bool logonSent = false;
  DropPlan plan(m_options, LinkId::Broadcast, m_options.dropBroadcast);
  int64_t clients = 0;

  while (!m_stop.load()) {
    int64_t now = NowNanos();
    plan.Restart(m_broadcastFd, m_broadcastPort, now);
    if (client && plan.Due(now) && !client->Pending()) {
      LogDrop(plan.Drop(client, m_broadcastFd, sequence - 1, now));
      continue;
    }
    if (client && startAt == 0) {
      int64_t from = acceptedAt + delay;
      if (m_options.feedStart == BackendOptions::FeedStart::kLogon) {
        int64_t release = m_feedReleaseNanos.load();
        from = release == 0 ? 0 : std::max(from, release);
      }
      if (from != 0 && now >= from) startAt = from;
    }
    if (client && startAt != 0) {
      if (m_options.feedLogon && !logonSent && client->GateOpen(now)) {
        client->Send(wire::JoinMessages({logon}));
        logonSent = true;
      }
      while (client->GateOpen(now) && client->PendingBytes() < kOutboxHighWater &&
             sequence < count && plan.Allowance(now) > 0) {
        // The rate counts from the first feed message, made as soon as the
        // gate lets it (after the logon response and its pause, if any).
        if (scheduleFrom == 0) scheduleFrom = now;
        int64_t n = std::min<int64_t>({batch, count - sequence, plan.Allowance(now)});
        if (rate > 0) {
          const double elapsed = static_cast<double>(now - scheduleFrom) / 1e9;
          n = std::min<int64_t>(n, static_cast<int64_t>(std::floor(elapsed * rate)) + 1 - made);
        }
        if (n <= 0) break;
        std::string block;
        block.reserve(static_cast<size_t>(n) * (messageSize + 1));
        for (int64_t i = 0; i < n; ++i) {
          block.push_back(wire::kStx);
          block += FeedMessage(sequence + i, m_options.messageSize, NowNanos());
        }
        client->Send(block);
        sequence += n;
        made += n;
        plan.Given(n);
        m_counters.feedMessages.fetch_add(n);
      }
    }
    // Also before the feed starts: a TLS handshake's answers wait to go out.
    if (client && !client->Flush(now)) client.reset();

    int64_t until = now + kMaxWaitNanos;
    if (client && scheduleFrom != 0 && rate > 0 && sequence < count)
      until = std::min(until,
                       scheduleFrom + static_cast<int64_t>(static_cast<double>(made) * 1e9 / rate));
    // As fast as possible: make more as soon as what was made has been written.
    if (client && startAt != 0 && rate <= 0 && sequence < count && !client->Pending() &&
        client->GateOpen(now))
      until = now;
    if (client && client->GateOpensAt() > now) until = std::min(until, client->GateOpensAt());
    if (client) until = std::min(until, plan.DueByTime());
    if (plan.Down()) until = std::min(until, plan.DownUntil());
    Readiness r = Wait(m_broadcastFd, client ? client->fd() : -1, client && client->Pending(),
                       until, !m_options.refuseBroadcast && !plan.Down());
    if (r.accept) {
      int fd = AcceptClient(m_broadcastFd);
      if (fd >= 0) {
        m_counters.broadcastClients.fetch_add(1);
        client.reset();
        client.emplace(fd, m_options.framing, m_options.sessionKey, FixedKeyResponses(clients++),
                       faults ? m_options.closeAfterBytes : -1, FirstDelayMs(m_options.framing),
                       m_counters.broadcastBytes, m_tls.get());
        client->SetWriteMax(static_cast<size_t>(m_options.writeMax), m_options.seed * 2 + 1);
        acceptedAt = NowNanos();
        plan.Accepted(acceptedAt);
        startAt = 0;
        scheduleFrom = 0;
        made = 0;
        if (!m_options.continueSequence) sequence = 0;
        logonSent = false;
        if (!client->Flush(acceptedAt)) client.reset();
      }
      continue;
    }
    if (client && r.read) {
      // The component sends nothing on this connection; whatever comes is dropped.
      if (!client->Read()) client.reset();
    }
  }
}

}  // namespace corvane::tools
