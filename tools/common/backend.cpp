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
#include "tools/common/requests.h"

namespace corvane::tools {

namespace {

constexpr int64_t kMillis = 1000000;
constexpr int64_t kMaxWaitNanos = 20 * kMillis;
constexpr int64_t kFeedAfterLogonNanos = 100 * kMillis;
// Output held per client before making more.
constexpr size_t kOutboxHighWater = 256 * 1024;
// Largest block put in one coded response: well inside the five-digit length.
constexpr size_t kMaxCodedBlock = 90000;

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Binds host:port (0: any free port); listens unless refusing. Returns the fd.
int OpenPort(const std::string& host, int port, bool listenOnIt, int* actualPort,
             std::string* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    *error = "not a dotted IPv4 address: " + host;
    ::close(fd);
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "bind " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (listenOnIt && ::listen(fd, 8) != 0) {
    *error = std::string("listen: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *actualPort = ntohs(addr.sin_port);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Waits for the listening socket, the client (reading, and writing when
// wantWrite) or until the given steady-clock time.
struct Readiness {
  bool accept = false;
  bool read = false;
  bool write = false;
};

Readiness Wait(int listenFd, int clientFd, bool wantWrite, int64_t untilNanos, bool listening) {
  pollfd fds[2];
  nfds_t n = 0;
  int listenIndex = -1, clientIndex = -1;
  if (listening) {
    fds[n] = {listenFd, POLLIN, 0};
    listenIndex = static_cast<int>(n++);
  }
  if (clientFd >= 0) {
    fds[n] = {clientFd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
    clientIndex = static_cast<int>(n++);
  }
  int64_t wait = std::clamp<int64_t>(untilNanos - NowNanos(), 0, kMaxWaitNanos);
  timespec ts{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
  Readiness r;
  if (::ppoll(fds, n, &ts, nullptr) <= 0) return r;
  if (listenIndex >= 0) r.accept = (fds[listenIndex].revents & POLLIN) != 0;
  if (clientIndex >= 0) {
    r.read = (fds[clientIndex].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    r.write = (fds[clientIndex].revents & POLLOUT) != 0;
  }
  return r;
}

// One accepted client: its socket, the bytes waiting to be written and the
// gate that holds everything after the first response for the first delay.
class Client {
 public:
  Client(int fd, Framing framing, const std::string& sessionKey, int fixedKeyResponses,
         int64_t closeAfterBytes, int firstDelayMs, std::atomic<int64_t>& byteCounter)
      : m_fd(fd),
        m_encoder(framing, sessionKey, fixedKeyResponses),
        m_closeAfter(closeAfterBytes),
        m_firstDelayNanos(static_cast<int64_t>(firstDelayMs) * kMillis),
        m_bytes(byteCounter) {}
  ~Client() { CloseFd(m_fd); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  int fd() const { return m_fd; }
  bool Pending() const { return m_pos < m_out.size(); }
  size_t PendingBytes() const { return m_out.size() - m_pos; }
  int64_t Queued() const { return m_queued; }
  int64_t Sent() const { return m_sent; }

  // May another response be made now?
  bool GateOpen(int64_t now) const {
    if (m_firstDelayNanos == 0 || m_encoder.responses() == 0) return true;
    return m_releaseNanos != 0 && now >= m_releaseNanos;
  }
  // When the gate opens (0: unknown yet, waiting for the first response to go out).
  int64_t GateOpensAt() const { return m_releaseNanos; }

  void Send(std::string_view block) {
    std::string bytes = m_encoder.Encode(block);
    if (m_pos == m_out.size()) {
      m_out.clear();
      m_pos = 0;
    } else if (m_pos > (1u << 20)) {
      m_out.erase(0, m_pos);
      m_pos = 0;
    }
    m_out += bytes;
    m_queued += static_cast<int64_t>(bytes.size());
    if (m_encoder.responses() == 1) m_firstEnd = m_queued;
  }

  // Writes what the socket takes. False when the client is to be closed: an
  // error, or the close-after-bytes limit reached.
  bool Flush(int64_t now) {
    while (Pending()) {
      size_t n = PendingBytes();
      if (m_closeAfter >= 0) n = std::min<size_t>(n, static_cast<size_t>(m_closeAfter - m_sent));
      if (n == 0) break;
      ssize_t w = ::send(m_fd, m_out.data() + m_pos, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
        return false;
      }
      m_pos += static_cast<size_t>(w);
      m_sent += w;
      m_bytes.fetch_add(w);
    }
    if (m_firstEnd >= 0 && m_releaseNanos == 0 && m_sent >= m_firstEnd)
      m_releaseNanos = now + m_firstDelayNanos;
    return !(m_closeAfter >= 0 && m_sent >= m_closeAfter);
  }

  // Reads and returns what arrived; nullopt when the peer closed or failed.
  std::optional<std::string> Read() {
    char buf[65536];
    ssize_t r = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0) return std::nullopt;
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::string();
      return std::nullopt;
    }
    return std::string(buf, static_cast<size_t>(r));
  }

 private:
  int m_fd;
  FrameEncoder m_encoder;
  std::string m_out;
  size_t m_pos = 0;
  int64_t m_queued = 0;
  int64_t m_sent = 0;
  int64_t m_closeAfter;
  int64_t m_firstDelayNanos;
  int64_t m_firstEnd = -1;
  int64_t m_releaseNanos = 0;
  std::atomic<int64_t>& m_bytes;
};

int AcceptClient(int listenFd) {
  int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

std::string ReplaceAll(std::string text, std::string_view what, std::string_view with) {
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

}  // namespace

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

int SandboxBackend::FirstDelayMs(Framing framing) const {
  if (m_options.firstDelayMs >= 0) return m_options.firstDelayMs;
  return FramingEncrypted(framing) ? 100 : 0;
}

bool SandboxBackend::Start(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
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
  return s;
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

  while (!m_stop.load()) {
    int64_t now = NowNanos();
    if (client) {
      while (!answers.empty() && answers.front().due <= now && client->GateOpen(now)) {
        client->Send(JoinMessages({answers.front().text}));
        if (answers.front().logsOn) logonEnd = client->Queued();
        answers.pop_front();
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
    Readiness r = Wait(m_interactiveFd, client ? client->fd() : -1, client && client->Pending(),
                       until, !m_options.refuseInteractive);
    if (r.accept) {
      int fd = AcceptClient(m_interactiveFd);
      if (fd >= 0) {
        m_counters.interactiveClients.fetch_add(1);
        client.reset();
        client.emplace(fd, m_options.interactiveFraming, m_options.sessionKey,
                       m_options.fixedKeyResponses, faults ? m_options.closeAfterBytes : -1,
                       FirstDelayMs(m_options.interactiveFraming), m_counters.interactiveBytes);
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
  int64_t sequence = 0;
  bool logonSent = false;

  while (!m_stop.load()) {
    int64_t now = NowNanos();
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
        client->Send(JoinMessages({logon}));
        logonSent = true;
      }
      while (client->GateOpen(now) && client->PendingBytes() < kOutboxHighWater &&
             sequence < count) {
        // The rate counts from the first feed message, made as soon as the
        // gate lets it (after the logon response and its pause, if any).
        if (scheduleFrom == 0) scheduleFrom = now;
        int64_t due = count;
        if (rate > 0) {
          const double elapsed = static_cast<double>(now - scheduleFrom) / 1e9;
          due = std::min<int64_t>(count, static_cast<int64_t>(std::floor(elapsed * rate)) + 1);
        }
        const int64_t n = std::min<int64_t>(batch, due - sequence);
        if (n <= 0) break;
        std::string block;
        block.reserve(static_cast<size_t>(n) * (messageSize + 1));
        for (int64_t i = 0; i < n; ++i) {
          block.push_back(kStx);
          block += FeedMessage(sequence + i, m_options.messageSize, NowNanos());
        }
        client->Send(block);
        sequence += n;
        m_counters.feedMessages.fetch_add(n);
      }
      if (!client->Flush(now)) client.reset();
    }

    int64_t until = now + kMaxWaitNanos;
    if (client && scheduleFrom != 0 && rate > 0 && sequence < count)
      until = std::min(
          until, scheduleFrom + static_cast<int64_t>(static_cast<double>(sequence) * 1e9 / rate));
    // As fast as possible: make more as soon as what was made has been written.
    if (client && startAt != 0 && rate <= 0 && sequence < count && !client->Pending() &&
        client->GateOpen(now))
      until = now;
    if (client && client->GateOpensAt() > now) until = std::min(until, client->GateOpensAt());
    Readiness r = Wait(m_broadcastFd, client ? client->fd() : -1, client && client->Pending(),
                       until, !m_options.refuseBroadcast);
    if (r.accept) {
      int fd = AcceptClient(m_broadcastFd);
      if (fd >= 0) {
        m_counters.broadcastClients.fetch_add(1);
        client.reset();
        client.emplace(fd, m_options.framing, m_options.sessionKey, m_options.fixedKeyResponses,
                       faults ? m_options.closeAfterBytes : -1, FirstDelayMs(m_options.framing),
                       m_counters.broadcastBytes);
        acceptedAt = NowNanos();
        startAt = 0;
        scheduleFrom = 0;
        sequence = 0;
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
