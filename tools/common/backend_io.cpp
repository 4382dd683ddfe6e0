// The sandbox back end's sockets: see backend_io.h.
#include "tools/common/backend_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace corvane::tools::backend_io {

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

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
int AcceptClient(int listenFd) {
  int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool Client::Flush(int64_t now) {
  while (Pending()) {
    size_t n = PendingBytes();
    if (m_closeAfter >= 0) n = std::min<size_t>(n, static_cast<size_t>(m_closeAfter - m_sent));
    if (n == 0) break;
    if (m_writeMax > 0) {
      m_rng ^= m_rng << 13;
      m_rng ^= m_rng >> 7;
      m_rng ^= m_rng << 17;
      n = std::min<size_t>(n, 1 + m_rng % m_writeMax);
    }
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

std::optional<std::string> Client::Read() {
  char buf[65536];
  ssize_t r = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
  if (r == 0) return std::nullopt;
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::string();
    return std::nullopt;
  }
  if (!m_tls) return std::string(buf, static_cast<size_t>(r));
  std::string plain;
  std::string records;
  const bool open = m_tls->Receive(std::string_view(buf, static_cast<size_t>(r)), plain, records);
  Queue(records);
  if (!open) return std::nullopt;
  return plain;
}

void Client::End(Ending how) {
  if (m_fd < 0) return;
  if (how == Ending::kReset) {
    linger abort{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else if (m_tls) {
    // close_notify before the FIN, as a TLS server that closes does.
    std::string records;
    m_tls->Close(records);
    (void)::send(m_fd, records.data(), records.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  CloseFd(m_fd);
}

}  // namespace corvane::tools::backend_io
