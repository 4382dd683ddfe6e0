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
      : fd_(fd),
        encoder_(framing, sessionKey, fixedKeyResponses),
        closeAfter_(closeAfterBytes),
        firstDelayNanos_(static_cast<int64_t>(firstDelayMs) * kMillis),
        bytes_(byteCounter) {}
  ~Client() { CloseFd(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  int fd() const { return fd_; }
  bool Pending() const { return pos_ < out_.size(); }
  size_t PendingBytes() const { return out_.size() - pos_; }
  int64_t Queued() const { return queued_; }
  int64_t Sent() const { return sent_; }

  // May another response be made now?
  bool GateOpen(int64_t now) const {
    if (firstDelayNanos_ == 0 || encoder_.responses() == 0) return true;
    return releaseNanos_ != 0 && now >= releaseNanos_;
  }
  // When the gate opens (0: unknown yet, waiting for the first response to go out).
  int64_t GateOpensAt() const { return releaseNanos_; }

  void Send(std::string_view block) {
    std::string bytes = encoder_.Encode(block);
    if (pos_ == out_.size()) {
      out_.clear();
      pos_ = 0;
    } else if (pos_ > (1u << 20)) {
      out_.erase(0, pos_);
      pos_ = 0;
    }
    out_ += bytes;
    queued_ += static_cast<int64_t>(bytes.size());
    if (encoder_.responses() == 1) firstEnd_ = queued_;
  }

  // Writes what the socket takes. False when the client is to be closed: an
  // error, or the close-after-bytes limit reached.
  bool Flush(int64_t now) {
    while (Pending()) {
      size_t n = PendingBytes();
      if (closeAfter_ >= 0) n = std::min<size_t>(n, static_cast<size_t>(closeAfter_ - sent_));
      if (n == 0) break;
      ssize_t w = ::send(fd_, out_.data() + pos_, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
        return false;
      }
      pos_ += static_cast<size_t>(w);
      sent_ += w;
      bytes_.fetch_add(w);
    }
    if (firstEnd_ >= 0 && releaseNanos_ == 0 && sent_ >= firstEnd_)
      releaseNanos_ = now + firstDelayNanos_;
    return !(closeAfter_ >= 0 && sent_ >= closeAfter_);
  }

  // Reads and returns what arrived; nullopt when the peer closed or failed.
  std::optional<std::string> Read() {
    char buf[65536];
    ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0) return std::nullopt;
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::string();
      return std::nullopt;
    }
    return std::string(buf, static_cast<size_t>(r));
  }

 private:
  int fd_;
  FrameEncoder encoder_;
  std::string out_;
  size_t pos_ = 0;
  int64_t queued_ = 0;
  int64_t sent_ = 0;
  int64_t closeAfter_;
  int64_t firstDelayNanos_;
  int64_t firstEnd_ = -1;
  int64_t releaseNanos_ = 0;
  std::atomic<int64_t>& bytes_;
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

SandboxBackend::SandboxBackend(BackendOptions options) : options_(std::move(options)) {}

SandboxBackend::~SandboxBackend() { Stop(); }

int SandboxBackend::FirstDelayMs(Framing framing) const {
  if (options_.firstDelayMs >= 0) return options_.firstDelayMs;
  return FramingEncrypted(framing) ? 100 : 0;
}

bool SandboxBackend::Start(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  interactiveFd_ = OpenPort(options_.host, options_.interactivePort, !options_.refuseInteractive,
                            &interactivePort_, error);
  if (interactiveFd_ < 0) return false;
  broadcastFd_ = OpenPort(options_.host, options_.broadcastPort, !options_.refuseBroadcast,
                          &broadcastPort_, error);
  if (broadcastFd_ < 0) {
    CloseFd(interactiveFd_);
    return false;
  }
  stop_.store(false);
  interactiveThread_ = std::thread([this] { ServeInteractive(); });
  broadcastThread_ = std::thread([this] { ServeBroadcast(); });
  return true;
}

void SandboxBackend::Stop() {
  stop_.store(true);
  if (interactiveThread_.joinable()) interactiveThread_.join();
  if (broadcastThread_.joinable()) broadcastThread_.join();
  CloseFd(interactiveFd_);
  CloseFd(broadcastFd_);
}

BackendStats SandboxBackend::Stats() const {
  BackendStats s;
  s.interactiveClients = counters_.interactiveClients.load();
  s.broadcastClients = counters_.broadcastClients.load();
  s.requests = counters_.requests.load();
  s.logonResponses = counters_.logonResponses.load();
  s.replies = counters_.replies.load();
  s.feedMessages = counters_.feedMessages.load();
  s.interactiveBytes = counters_.interactiveBytes.load();
  s.broadcastBytes = counters_.broadcastBytes.load();
  return s;
}

void SandboxBackend::ServeInteractive() {
  struct Answer {
    int64_t due;
    std::string text;
    bool logsOn;
  };
  const bool faults = options_.faultsInteractive;
  const int64_t delay = faults ? options_.delayMs * kMillis : 0;
  const std::string logon = LogonResponseText(options_);
  const bool logonSucceeds = IsSuccessLogonCode(options_.logonCode);

  std::optional<Client> client;
  RequestReader reader;
  bool loggedOn = false;
  std::deque<Answer> answers;
  int64_t logonEnd = -1;  // where the successful logon response ends in the output

  while (!stop_.load()) {
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
        feedReleaseNanos_.compare_exchange_strong(expected, now + kFeedAfterLogonNanos);
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
    Readiness r = Wait(interactiveFd_, client ? client->fd() : -1, client && client->Pending(),
                       until, !options_.refuseInteractive);
    if (r.accept) {
      int fd = AcceptClient(interactiveFd_);
      if (fd >= 0) {
        counters_.interactiveClients.fetch_add(1);
        client.reset();
        client.emplace(fd, options_.interactiveFraming, options_.sessionKey,
                       options_.fixedKeyResponses, faults ? options_.closeAfterBytes : -1,
                       FirstDelayMs(options_.interactiveFraming), counters_.interactiveBytes);
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
        counters_.requests.fetch_add(1);
        if (!loggedOn) {
          counters_.logonResponses.fetch_add(1);
          loggedOn = logonSucceeds;
          answers.push_back({arrived + delay, logon, logonSucceeds});
        } else {
          counters_.replies.fetch_add(1);
          answers.push_back(
              {arrived + delay, ReplaceAll(options_.reply, "{request}", message), false});
        }
      }
    }
  }
}

void SandboxBackend::ServeBroadcast() {
  const bool faults = options_.faultsBroadcast;
  const int64_t delay = faults ? options_.delayMs * kMillis : 0;
  const std::string logon = LogonResponseText(options_);
  const size_t messageSize = static_cast<size_t>(std::max(options_.messageSize, 1));
  int batch = std::max(options_.batch, 1);
  if (options_.framing != Framing::kPlain)
    batch = static_cast<int>(
        std::clamp<size_t>(kMaxCodedBlock / (messageSize + 1), 1, static_cast<size_t>(batch)));
  const int64_t count = options_.count < 0 ? INT64_MAX : options_.count;
  const double rate = options_.rate;

  std::optional<Client> client;
  int64_t acceptedAt = 0;
  int64_t startAt = 0;       // 0: not started
  int64_t scheduleFrom = 0;  // when the first feed message was made; 0: not yet
  int64_t sequence = 0;
  bool logonSent = false;

  while (!stop_.load()) {
    int64_t now = NowNanos();
    if (client && startAt == 0) {
      int64_t from = acceptedAt + delay;
      if (options_.feedStart == BackendOptions::FeedStart::kLogon) {
        int64_t release = feedReleaseNanos_.load();
        from = release == 0 ? 0 : std::max(from, release);
      }
      if (from != 0 && now >= from) startAt = from;
    }
    if (client && startAt != 0) {
      if (options_.feedLogon && !logonSent && client->GateOpen(now)) {
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
          block += FeedMessage(sequence + i, options_.messageSize, NowNanos());
        }
        client->Send(block);
        sequence += n;
        counters_.feedMessages.fetch_add(n);
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
    Readiness r = Wait(broadcastFd_, client ? client->fd() : -1, client && client->Pending(), until,
                       !options_.refuseBroadcast);
    if (r.accept) {
      int fd = AcceptClient(broadcastFd_);
      if (fd >= 0) {
        counters_.broadcastClients.fetch_add(1);
        client.reset();
        client.emplace(fd, options_.framing, options_.sessionKey, options_.fixedKeyResponses,
                       faults ? options_.closeAfterBytes : -1, FirstDelayMs(options_.framing),
                       counters_.broadcastBytes);
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
