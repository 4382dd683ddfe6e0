// POSIX sockets with Winsock semantics.
//
// Handles are file descriptors, except that descriptor 0 is never handed out
// (0 means "none" to the component): a socket that lands on it is moved to a
// higher descriptor. errno values are translated to the Winsock codes the
// component reports and kept per thread for LastError(). Sends use
// MSG_NOSIGNAL (SO_NOSIGPIPE where that is missing), so a peer that has gone
// raises no SIGPIPE. Waits use poll(), which has no descriptor limit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/socket.h"
#include "protocol/numbers.h"

namespace corvane::net {
namespace {

thread_local int t_lastError = 0;

int ToWinsockError(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
    case ENOTSOCK:
      return kNotSocket;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
      return kWouldBlock;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case EMSGSIZE:
      return 10040;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
    case EPIPE:
      return kConnectionReset;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return kNotConnected;
    case ETIMEDOUT:
      return kTimedOut;
    case ECONNREFUSED:
      return kRefused;
    case EHOSTUNREACH:
      return 10065;
    default:
      return e;
  }
}

void SetError(int winsockCode) { t_lastError = winsockCode; }
void SetErrno() { t_lastError = ToWinsockError(errno); }

// Handle 0 is "none"; anything beyond int range cannot be a descriptor.
bool Valid(SocketHandle s) {
  if (s == 0 || s > static_cast<SocketHandle>(INT_MAX)) {
    SetError(kNotSocket);
    return false;
  }
  return true;
}

int Fd(SocketHandle s) { return static_cast<int>(s); }

// Moves a descriptor off 0 (the "none" handle) and makes sure it is
// close-on-exec, so a child process (a test's proxy) never holds a connection
// open behind our back.
int Settle(int fd) {
  if (fd == 0) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
  }
#ifndef SOCK_CLOEXEC
  fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
#endif
  return fd;
}

sockaddr_in MakeAddress(const std::string& dottedAddress, int32_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  address.sin_addr.s_addr = inet_addr(dottedAddress.c_str());
  return address;
}

WaitResult WaitFor(SocketHandle s, short events, int timeoutMs) {
  if (!Valid(s)) return WaitResult::Failed;
  if (timeoutMs < 0) timeoutMs = 0;
  pollfd p{Fd(s), events, 0};
  // poll() may be interrupted; keep the overall bound.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int remaining = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - std::chrono::steady_clock::now())
                                         .count());
    if (remaining < 0) remaining = 0;
    int r = poll(&p, 1, remaining);
    if (r > 0) {
      if ((p.revents & POLLNVAL) != 0) {
        SetError(kNotSocket);
        return WaitResult::Failed;
      }
      SetError(0);
      return WaitResult::Ready;
    }
    if (r == 0) {
      SetError(0);
      return WaitResult::TimedOut;
    }
    if (errno != EINTR) {
      SetErrno();
      return WaitResult::Failed;
    }
  }
}

}  // namespace

bool Startup() {
  SetError(0);
  return true;
}

void Cleanup() {}

SocketHandle CreateTcpSocket() {
#ifdef SOCK_CLOEXEC
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#else
  int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#endif
  if (fd >= 0) fd = Settle(fd);
  if (fd < 0) {
    SetErrno();
    return 0;
  }
#ifdef SO_NOSIGPIPE
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  SetError(0);
  return static_cast<SocketHandle>(fd);
}

bool SetReceiveBufferSize(SocketHandle s, int bytes) {
  if (!Valid(s)) return false;
  if (setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
    SetErrno();
    return false;
  }
  SetError(0);
  return true;
}

bool SetKeepAlive(SocketHandle s, const KeepAliveTiming& timing) {
  if (!Valid(s)) return false;
  const int fd = Fd(s);
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
    SetErrno();
    return false;
  }
  // The kernel counts in whole seconds, at least 1.
  const int idle = timing.idleMs < 1000 ? 1 : timing.idleMs / 1000;
  const int interval = timing.intervalMs < 1000 ? 1 : timing.intervalMs / 1000;
  const int probes = timing.probes < 1 ? 1 : timing.probes;
#ifdef TCP_KEEPIDLE
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#elif defined(TCP_KEEPALIVE)
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idle, sizeof idle);
#endif
#ifdef TCP_KEEPINTVL
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
#endif
#ifdef TCP_KEEPCNT
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
#ifdef TCP_USER_TIMEOUT
  // Data the peer never acknowledges fails within the keep-alive's time too
  // (and, with keep-alive on, this bounds the probing as well).
  const unsigned userTimeoutMs =
      static_cast<unsigned>(timing.idleMs) + static_cast<unsigned>(probes * timing.intervalMs);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
#endif
  SetError(0);
  return true;
}

bool Connect(SocketHandle s, const std::string& dottedAddress, int32_t port) {
  if (!Valid(s)) return false;
  sockaddr_in address = MakeAddress(dottedAddress, port);
  if (connect(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    SetError(0);
    return true;
  }
  if (errno != EINTR) {
    SetErrno();
    return false;
  }
  // An interrupted blocking connect goes on in the background: wait for it
  // to finish and take its outcome from SO_ERROR.
  pollfd p{Fd(s), POLLOUT, 0};
  while (poll(&p, 1, -1) < 0) {
    if (errno != EINTR) {
      SetErrno();
      return false;
    }
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    SetErrno();
    return false;
  }
  SetError(ToWinsockError(error));
  return error == 0;
}

bool ConnectAbandonable(SocketHandle s, const std::string& dottedAddress, int32_t port,
                        const std::function<bool()>& abandon) {
  if (!abandon) return Connect(s, dottedAddress, port);
  if (!Valid(s)) return false;
  if (!SetNonBlocking(s, true)) return false;
  sockaddr_in address = MakeAddress(dottedAddress, port);
  int error = 0;
  if (connect(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      error = errno;
    } else {
      for (;;) {
        if (abandon()) {
          SetNonBlocking(s, false);
          SetError(kTimedOut);
          return false;
        }
        pollfd p{Fd(s), POLLOUT, 0};
        const int r = poll(&p, 1, 50);
        if (r < 0 && errno != EINTR) {
          error = errno;
          break;
        }
        if (r > 0) {
          socklen_t length = sizeof error;
          if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
          break;
        }
      }
    }
  }
  SetNonBlocking(s, false);
  if (error != 0) {
    SetError(ToWinsockError(error));
    return false;
  }
  SetError(0);
  return true;
}

bool SetNonBlocking(SocketHandle s, bool nonBlocking) {
  if (!Valid(s)) return false;
  int flags = fcntl(Fd(s), F_GETFL);
  if (flags < 0) {
    SetErrno();
    return false;
  }
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(Fd(s), F_SETFL, flags) != 0) {
    SetErrno();
    return false;
  }
  SetError(0);
  return true;
}

int Send(SocketHandle s, const void* data, int length) {
  if (!Valid(s)) return -1;
  if (length < 0) {
    SetError(10022);
    return -1;
  }
#ifdef MSG_NOSIGNAL
  const int flags = MSG_NOSIGNAL;
#else
  const int flags = 0;
#endif
  ssize_t n;
  do {
    n = send(Fd(s), data, static_cast<size_t>(length), flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetErrno();
    return -1;
  }
  SetError(0);
  return static_cast<int>(n);
}

int Recv(SocketHandle s, void* buffer, int length) {
  if (!Valid(s)) return -1;
  if (length < 0) {
    SetError(10022);
    return -1;
  }
  ssize_t n;
  do {
    n = recv(Fd(s), buffer, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetErrno();
    return -1;
  }
  SetError(0);
  return static_cast<int>(n);
}

int LastError() { return t_lastError; }

void Close(SocketHandle s) {
  if (s == 0 || s > static_cast<SocketHandle>(INT_MAX)) return;
  // POSIX leaves the descriptor closed even when close() reports EINTR.
  close(Fd(s));
}

WaitResult WaitReadable(SocketHandle s, int timeoutMs) { return WaitFor(s, POLLIN, timeoutMs); }

WaitResult WaitWritable(SocketHandle s, int timeoutMs) { return WaitFor(s, POLLOUT, timeoutMs); }

bool ResolveIPv4(const std::string& name, std::string& dotted) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    SetError(11001);  // WSAHOST_NOT_FOUND
    return false;
  }
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const auto* b = reinterpret_cast<const unsigned char*>(&address->sin_addr.s_addr);
  dotted = FormatDottedIPv4(b);
  freeaddrinfo(found);
  SetError(0);
  return true;
}

SocketHandle Listen(const std::string& dottedAddress, int32_t port, int backlog,
                    int receiveBufferSize) {
  SocketHandle s = CreateTcpSocket();
  if (s == 0) return 0;
  int one = 1;
  setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBufferSize > 0) SetReceiveBufferSize(s, receiveBufferSize);
  sockaddr_in address = MakeAddress(dottedAddress, port);
  if (bind(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(Fd(s), backlog) != 0) {
    SetErrno();
    int saved = t_lastError;
    Close(s);
    SetError(saved);
    return 0;
  }
  SetError(0);
  return s;
}

int32_t LocalPort(SocketHandle s) {
  if (!Valid(s)) return 0;
  sockaddr_in address;
  socklen_t length = sizeof address;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    SetErrno();
    return 0;
  }
  SetError(0);
  return ntohs(address.sin_port);
}

SocketHandle Accept(SocketHandle listener) {
  if (!Valid(listener)) return 0;
  int fd;
  do {
#ifdef SOCK_CLOEXEC
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
#else
    fd = accept(Fd(listener), nullptr, nullptr);
#endif
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) fd = Settle(fd);
  if (fd < 0) {
    SetErrno();
    return 0;
  }
  // Linux accepted sockets do not inherit O_NONBLOCK; other systems may.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  SetError(0);
  return static_cast<SocketHandle>(fd);
}

bool ShutdownSend(SocketHandle s) {
  if (!Valid(s)) return false;
  if (shutdown(Fd(s), SHUT_WR) != 0) {
    SetErrno();
    return false;
  }
  SetError(0);
  return true;
}

}  // namespace corvane::net
