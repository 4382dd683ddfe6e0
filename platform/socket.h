// Sockets (Winsock 2.2 or POSIX) behind one small interface.
//
// A socket is a SocketHandle; 0 means "none" on both platforms (the POSIX
// implementation never hands out descriptor 0). Every call records its error
// for LastError() on the calling thread, as Winsock codes on both platforms:
// a read or write on a non-blocking socket that has nothing to do reports
// kWouldBlock (WSAEWOULDBLOCK, 10035); a call on handle 0 reports kNotSocket.
// Sends never raise SIGPIPE. Addresses are IPv4 dotted text parsed with
// inet_addr rules; ports are the low 16 bits of the value given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

using SocketHandle = std::uintptr_t;  // 0 = none

namespace net {

inline constexpr int kWouldBlock = 10035;       // WSAEWOULDBLOCK
inline constexpr int kNotSocket = 10038;        // WSAENOTSOCK
inline constexpr int kConnectionReset = 10054;  // WSAECONNRESET
inline constexpr int kNotConnected = 10057;     // WSAENOTCONN
inline constexpr int kTimedOut = 10060;         // WSAETIMEDOUT
inline constexpr int kRefused = 10061;          // WSAECONNREFUSED

// Windows Sockets 2.2 start-up (WSAStartup 0x0202) and its matching clean-up;
// both are reference counted by the system. No-ops that succeed on POSIX.
bool Startup();
void Cleanup();

// An IPv4 TCP socket in blocking mode; 0 when none can be made.
SocketHandle CreateTcpSocket();
// SO_RCVBUF.
bool SetReceiveBufferSize(SocketHandle s, int bytes);

// TCP keep-alive so that a peer that vanished without FIN or RST ends in a
// socket error: the first probe after idleMs without traffic, then one every
// intervalMs, and the connection fails once `probes` probes went unanswered.
// POSIX sets SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL and TCP_KEEPCNT (whole
// seconds, at least 1) and, on Linux, TCP_USER_TIMEOUT = idle + probes x
// interval, so unacknowledged data fails within the same time. Winsock sets
// SIO_KEEPALIVE_VALS (milliseconds; the probe count is fixed at 10 before
// Windows 10 1703) and TCP_KEEPCNT where the system has it. False when
// keep-alive itself could not be switched on.
struct KeepAliveTiming {
  int idleMs = 10000;
  int intervalMs = 2000;
  int probes = 10;
};
bool SetKeepAlive(SocketHandle s, const KeepAliveTiming& timing);
// Blocking connect to dottedAddress:port (inet_addr parsing, low 16 bits of
// port). False on failure, with LastError() telling why.
bool Connect(SocketHandle s, const std::string& dottedAddress, int32_t port);
// The same connect, given up when abandon() turns true (asked every 50 ms;
// LastError() is then kTimedOut): the attempt runs in non-blocking mode and
// the socket is back in blocking mode afterwards. For threads that must end
// promptly while a peer does not answer.
bool ConnectAbandonable(SocketHandle s, const std::string& dottedAddress, int32_t port,
                        const std::function<bool()>& abandon);
// FIONBIO / O_NONBLOCK.
bool SetNonBlocking(SocketHandle s, bool nonBlocking = true);
// One send or recv: bytes moved, 0 from Recv when the peer has closed, -1 on
// an error (LastError()).
int Send(SocketHandle s, const void* data, int length);
int Recv(SocketHandle s, void* buffer, int length);
// The error of the calling thread's last socket call, as a Winsock code.
int LastError();
// closesocket / close. Handle 0 is ignored.
void Close(SocketHandle s);

enum class WaitResult { Ready, TimedOut, Failed };
// Waits until the socket is readable (data, end of stream or an error is
// pending) or writable, at most timeoutMs milliseconds (0: just look).
WaitResult WaitReadable(SocketHandle s, int timeoutMs);
WaitResult WaitWritable(SocketHandle s, int timeoutMs);

// The first IPv4 address of a host name as dotted text; a dotted address
// resolves to itself. False when the name has no IPv4 address.
bool ResolveIPv4(const std::string& name, std::string& dotted);

// Server side, for the tools and the tests: a listening TCP socket on
// dottedAddress:port (port 0 picks a free one), with SO_REUSEADDR and, when
// receiveBufferSize > 0, that SO_RCVBUF (inherited by accepted sockets).
SocketHandle Listen(const std::string& dottedAddress, int32_t port, int backlog = 16,
                    int receiveBufferSize = 0);
// The local port of a bound socket; 0 on failure.
int32_t LocalPort(SocketHandle s);
// Blocking accept; 0 on failure. Accepted sockets are blocking.
SocketHandle Accept(SocketHandle listener);
// Ends the sending direction (the peer reads end of stream).
bool ShutdownSend(SocketHandle s);

}  // namespace net
}  // namespace corvane
