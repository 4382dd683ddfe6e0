// Windows Sockets 2.2 behind the platform socket interface.
//
// A SocketHandle is the SOCKET value itself (INVALID_SOCKET becomes 0, which
// Winsock never hands out as a socket). Errors are Winsock's own codes from
// WSAGetLastError(); calls on handle 0 set WSAENOTSOCK. Waits use select() on
// the read or the write set alone, holding the one socket. Addresses are
// parsed with inet_addr, which the system keeps for exactly the dotted forms
// the component takes.
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// After the two above.
#include <mstcpip.h>

#include <cstring>

#include "platform/socket.h"
#include "protocol/numbers.h"

namespace corvane::net {
namespace {

bool Valid(SocketHandle s) {
  if (s == 0 || static_cast<SOCKET>(s) == INVALID_SOCKET) {
    WSASetLastError(WSAENOTSOCK);
    return false;
  }
  return true;
}

SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }

sockaddr_in MakeAddress(const std::string& dottedAddress, int32_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  address.sin_addr.s_addr = inet_addr(dottedAddress.c_str());
  return address;
}

// Only the one set asked about. The exception set is left out: it signals
// pending urgent (out-of-band) data for as long as that byte goes unread, and
// nothing here reads it, so a wait including it would return at once again
// and again. Failures show in the call that follows: a reset or closed
// connection makes the socket readable and recv reports it; a write wait ends
// when the socket can send or at its time limit, and send reports a broken
// connection.
WaitResult WaitFor(SocketHandle s, bool forWrite, int timeoutMs) {
  if (!Valid(s)) return WaitResult::Failed;
  if (timeoutMs < 0) timeoutMs = 0;
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(Sock(s), &ready);
  timeval timeout;
  timeout.tv_sec = timeoutMs / 1000;
  timeout.tv_usec = (timeoutMs % 1000) * 1000;
  int r = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, nullptr, &timeout);
  if (r == SOCKET_ERROR) return WaitResult::Failed;
  if (r == 0) {
    WSASetLastError(0);
    return WaitResult::TimedOut;
  }
  WSASetLastError(0);
  return WaitResult::Ready;
}

}  // namespace

bool Startup() {
  WSADATA data;
  return WSAStartup(0x0202, &data) == 0;
}

void Cleanup() { WSACleanup(); }

SocketHandle CreateTcpSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  // Keep the socket out of child processes.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketHandle>(s);
}

bool SetReceiveBufferSize(SocketHandle s, int bytes) {
  if (!Valid(s)) return false;
  return setsockopt(Sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                    sizeof bytes) == 0;
}

bool SetKeepAlive(SocketHandle s, const KeepAliveTiming& timing) {
  if (!Valid(s)) return false;
  // Idle time and interval in milliseconds; the probe count is the system's
  // (10 before Windows 10 1703), which the caller's timing assumes.
  tcp_keepalive values;
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(timing.idleMs < 1 ? 1 : timing.idleMs);
  values.keepaliveinterval = static_cast<ULONG>(timing.intervalMs < 1 ? 1 : timing.intervalMs);
  DWORD returned = 0;
  if (WSAIoctl(Sock(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
               nullptr) != 0) {
    // Without the per-socket values, at least the system's keep-alive.
    BOOL on = TRUE;
    if (setsockopt(Sock(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
      return false;
    }
  }
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
  // Windows 10 1703 and later take the probe count too; older systems refuse
  // the option and keep their fixed 10.
  DWORD probes = static_cast<DWORD>(timing.probes < 1 ? 1 : timing.probes);
  setsockopt(Sock(s), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes),
             sizeof probes);
  WSASetLastError(0);
  return true;
}

bool Connect(SocketHandle s, const std::string& dottedAddress, int32_t port) {
  if (!Valid(s)) return false;
  sockaddr_in address = MakeAddress(dottedAddress, port);
  return connect(Sock(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool ConnectAbandonable(SocketHandle s, const std::string& dottedAddress, int32_t port,
                        const std::function<bool()>& abandon) {
  if (!abandon) return Connect(s, dottedAddress, port);
  if (!Valid(s)) return false;
  if (!SetNonBlocking(s, true)) return false;
  sockaddr_in address = MakeAddress(dottedAddress, port);
  int error = 0;
  if (connect(Sock(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      error = 0;
      for (;;) {
        if (abandon()) {
          SetNonBlocking(s, false);
          WSASetLastError(WSAETIMEDOUT);
          return false;
        }
        // A made connection shows in the write set, a failed one in the
        // exception set.
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(Sock(s), &writable);
        FD_SET(Sock(s), &failed);
        timeval timeout;
        timeout.tv_sec = 0;
        timeout.tv_usec = 50 * 1000;
        const int r = select(0, nullptr, &writable, &failed, &timeout);
        if (r == SOCKET_ERROR) {
          error = WSAGetLastError();
          break;
        }
        if (r > 0) {
          int optionError = 0;
          int length = sizeof optionError;
          if (getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&optionError),
                         &length) != 0) {
            optionError = WSAGetLastError();
          }
          if (FD_ISSET(Sock(s), &failed) && optionError == 0) optionError = WSAECONNREFUSED;
          error = optionError;
          break;
        }
      }
    }
  }
  SetNonBlocking(s, false);
  WSASetLastError(error);
  return error == 0;
}

bool SetNonBlocking(SocketHandle s, bool nonBlocking) {
  if (!Valid(s)) return false;
  u_long mode = nonBlocking ? 1 : 0;
  return ioctlsocket(Sock(s), FIONBIO, &mode) == 0;
}

int Send(SocketHandle s, const void* data, int length) {
  if (!Valid(s)) return -1;
  int n = send(Sock(s), static_cast<const char*>(data), length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int Recv(SocketHandle s, void* buffer, int length) {
  if (!Valid(s)) return -1;
  int n = recv(Sock(s), static_cast<char*>(buffer), length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int LastError() { return WSAGetLastError(); }

void Close(SocketHandle s) {
  if (s == 0 || static_cast<SOCKET>(s) == INVALID_SOCKET) return;
  closesocket(Sock(s));
}

WaitResult WaitReadable(SocketHandle s, int timeoutMs) { return WaitFor(s, false, timeoutMs); }

WaitResult WaitWritable(SocketHandle s, int timeoutMs) { return WaitFor(s, true, timeoutMs); }

bool ResolveIPv4(const std::string& name, std::string& dotted) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    WSASetLastError(WSAHOST_NOT_FOUND);
    return false;
  }
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const auto* b = reinterpret_cast<const unsigned char*>(&address->sin_addr.s_addr);
  dotted = FormatDottedIPv4(b);
  freeaddrinfo(found);
  return true;
}

SocketHandle Listen(const std::string& dottedAddress, int32_t port, int backlog,
                    int receiveBufferSize) {
  SocketHandle s = CreateTcpSocket();
  if (s == 0) return 0;
  BOOL one = TRUE;
  setsockopt(Sock(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  if (receiveBufferSize > 0) SetReceiveBufferSize(s, receiveBufferSize);
  sockaddr_in address = MakeAddress(dottedAddress, port);
  if (bind(Sock(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(Sock(s), backlog) != 0) {
    int saved = WSAGetLastError();
    Close(s);
    WSASetLastError(saved);
    return 0;
  }
  return s;
}

int32_t LocalPort(SocketHandle s) {
  if (!Valid(s)) return 0;
  sockaddr_in address;
  int length = sizeof address;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

SocketHandle Accept(SocketHandle listener) {
  if (!Valid(listener)) return 0;
  SOCKET s = accept(Sock(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return 0;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  // Accepted sockets take the listener's mode; ours are blocking.
  u_long mode = 0;
  ioctlsocket(s, FIONBIO, &mode);
  return static_cast<SocketHandle>(s);
}

bool ShutdownSend(SocketHandle s) {
  if (!Valid(s)) return false;
  return shutdown(Sock(s), SD_SEND) == 0;
}

}  // namespace corvane::net
