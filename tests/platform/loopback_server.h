// A loopback TCP peer for the platform, connection and component suites: a
// server that records what each accepted connection receives and sends what
// a test tells it to, and bounded waiting. Everything listens on 127.0.0.1
// only, on a port the system chooses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace corvane::test {

// Polls cond every few milliseconds until it holds or timeoutMs have passed.
// The time-out only guards against a hang; no test depends on speed.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 10000);

class LoopbackServer {
 public:
  // receiveBufferSize > 0 shrinks the accepted sockets' SO_RCVBUF; a server
  // made with reading false accepts but reads nothing until StartReading.
  explicit LoopbackServer(int receiveBufferSize = 0, bool reading = true);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int32_t Port() const { return m_port; }
  std::string PortText() const { return std::to_string(m_port); }

  size_t Connections();
  bool WaitForConnections(size_t count, int timeoutMs = 10000);
  std::string Received(size_t index);
  bool WaitForReceived(size_t index, size_t bytes, int timeoutMs = 10000);
  // True once the client has closed connection index (end of stream read).
  bool PeerClosed(size_t index);
  // True while this side holds connection index open (not closed on accept,
  // nor by Close).
  bool HeldOpen(size_t index);
  bool Send(size_t index, std::string_view data);
  // Closes connection index; with reset, abortively (RST).
  void Close(size_t index, bool reset = false);
  void StartReading() { m_reading.store(true); }
  // Closes the listener: further connects are refused.
  void StopListening();
  // Acts as a proxy that grants tunnels: every connection whose first bytes
  // are a complete CONNECT request gets answer at once (before any other
  // data the test sends). Set before the connections arrive.
  void AnswerTunnels(std::string answer = "HTTP/1.0 200 Connection established\r\n\r\n");
  // Listens again on the same port after StopListening (the server's
  // return); false when the port cannot be had again.
  bool ResumeListening();
  // While on, every connection is accepted and closed at once (recorded,
  // peerClosed not set), as by a server that keeps dropping its clients.
  void SetCloseOnAccept(bool on) { m_closeOnAccept.store(on); }

 private:
  struct Connection {
    SocketHandle socket = 0;
    std::string received;
    bool peerClosed = false;
    bool tunnelAnswered = false;
    std::atomic<bool> stop{false};
    std::thread reader;
  };
  void AcceptLoop();
  void ReadLoop(Connection* connection);
  Connection* At(size_t index);

  SocketHandle m_listener = 0;
  int32_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_stopListening{false};
  std::atomic<bool> m_reading;
  std::string m_tunnelAnswer;  // guarded by m_mutex
  std::atomic<bool> m_closeOnAccept{false};
  std::thread m_acceptor;
  std::mutex m_mutex;  // guards m_connections and each connection's record
  std::vector<std::unique_ptr<Connection>> m_connections;
};

// A port on 127.0.0.1 where nothing listens (connects are refused).
int32_t RefusedPort();

}  // namespace corvane::test
