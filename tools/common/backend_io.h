// The sandbox back end's sockets: listening ports, bounded waits and one
// served client with its output queue (see backend.h). POSIX only; every
// socket is non-blocking.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/encoder.h"
#include "tools/common/backend_tls.h"
#include "tools/common/cipher.h"

namespace corvane::tools::backend_io {

constexpr int64_t kMillis = 1000000;
constexpr int64_t kMaxWaitNanos = 20 * kMillis;

int64_t NowNanos();
void CloseFd(int& fd);
// Binds host:port (0: any free port); listens unless refusing. Returns the fd.
int OpenPort(const std::string& host, int port, bool listenOnIt, int* actualPort,
             std::string* error);

// Waits for the listening socket, the client (reading, and writing when
// wantWrite) or until the given steady-clock time.
struct Readiness {
  bool accept = false;
  bool read = false;
  bool write = false;
};
Readiness Wait(int listenFd, int clientFd, bool wantWrite, int64_t untilNanos, bool listening);

int AcceptClient(int listenFd);

// How a client is let go.
enum class Ending {
  kClose,  // close: FIN after everything written
  kReset,  // SO_LINGER {1, 0}, then close: RST, unread and unsent bytes dropped
};

class Client {
 public:
  // tls: the server context when the port serves TLS, else nullptr. Every
  // count of bytes (queued, sent, close-after) is then one of TLS records.
  Client(int fd, wire::Framing framing, const std::string& sessionKey, int fixedKeyResponses,
         int64_t closeAfterBytes, int firstDelayMs, std::atomic<int64_t>& byteCounter,
         const ServerTlsContext* tls = nullptr)
      : m_fd(fd),
        m_tls(tls != nullptr ? std::make_unique<ServerTls>(*tls) : nullptr),
        m_encoder(framing, ComponentEncipher, sessionKey, fixedKeyResponses),
        m_closeAfter(closeAfterBytes),
        m_firstDelayNanos(static_cast<int64_t>(firstDelayMs) * kMillis),
        m_bytes(byteCounter) {}
  ~Client() { CloseFd(m_fd); }
  // Lets the client go now (the object is then only good for destruction).
  void End(Ending how);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Every write takes at most a pseudo-random 1..max bytes (0: what the
  // socket takes), so the reader's reads are cut at varied places.
  void SetWriteMax(size_t max, uint64_t seed) {
    m_writeMax = max;
    m_rng = seed | 1;
  }

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
    if (m_encoder.responses() == 1) m_firstWaiting = true;
    if (m_tls) {
      std::string records;
      m_tls->Send(bytes, records);
      bytes.swap(records);
    }
    Queue(bytes);
  }

  // Writes what the socket takes. False when the client is to be closed: an
  // error, or the close-after-bytes limit reached.
  bool Flush(int64_t now);

  // Reads and returns what arrived; nullopt when the peer closed or failed.
  std::optional<std::string> Read();

 private:
  void Queue(const std::string& bytes) {
    if (m_pos == m_out.size()) {
      m_out.clear();
      m_pos = 0;
    } else if (m_pos > (1u << 20)) {
      m_out.erase(0, m_pos);
      m_pos = 0;
    }
    m_out += bytes;
    m_queued += static_cast<int64_t>(bytes.size());
    // The first response ends where it is queued; over TLS, once the
    // handshake has let it out.
    if (m_firstWaiting && (!m_tls || m_tls->Ready())) {
      m_firstEnd = m_queued;
      m_firstWaiting = false;
    }
  }

  int m_fd;
  std::unique_ptr<ServerTls> m_tls;
  bool m_firstWaiting = false;
  wire::FrameEncoder m_encoder;
  std::string m_out;
  size_t m_pos = 0;
  int64_t m_queued = 0;
  int64_t m_sent = 0;
  int64_t m_closeAfter;
  int64_t m_firstDelayNanos;
  int64_t m_firstEnd = -1;
  int64_t m_releaseNanos = 0;
  std::atomic<int64_t>& m_bytes;
  size_t m_writeMax = 0;
  uint64_t m_rng = 1;
};

}  // namespace corvane::tools::backend_io
