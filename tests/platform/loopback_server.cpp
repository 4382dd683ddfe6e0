// The loopback peer: the server accepts
// on its own thread and gives every connection a reader thread that polls in
// short waits, so every loop ends soon after the server is told to stop.
#include "tests/platform/loopback_server.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace corvane::test {

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

LoopbackServer::LoopbackServer(int receiveBufferSize, bool reading) : m_reading(reading) {
  net::Startup();
  m_listener = net::Listen("127.0.0.1", 0, 16, receiveBufferSize);
  m_port = net::LocalPort(m_listener);
  net::SetNonBlocking(m_listener, true);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  m_stop.store(true);
  m_acceptor.join();
  net::Close(m_listener);
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    connections.swap(m_connections);
  }
  for (auto& c : connections) {
    c->stop.store(true);
    if (c->reader.joinable()) c->reader.join();
    net::Close(c->socket);
  }
  net::Cleanup();
}

void LoopbackServer::AcceptLoop() {
  while (!m_stop.load()) {
    if (m_stopListening.load()) {
      // Closed here, by the only thread that waits on it.
      std::lock_guard<std::mutex> lock(m_mutex);
      net::Close(m_listener);
      m_listener = 0;
      return;
    }
    if (net::WaitReadable(m_listener, 5) != net::WaitResult::Ready) continue;
    SocketHandle s = net::Accept(m_listener);
    if (s == 0) continue;
    auto connection = std::make_unique<Connection>();
    if (m_closeOnAccept.load()) {
      net::Close(s);
      std::lock_guard<std::mutex> lock(m_mutex);
      m_connections.push_back(std::move(connection));
      continue;
    }
    connection->socket = s;
    Connection* raw = connection.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(std::move(connection));
    raw->reader = std::thread([this, raw] { ReadLoop(raw); });
  }
}

void LoopbackServer::ReadLoop(Connection* connection) {
  char buffer[65536];
  while (!connection->stop.load()) {
    if (!m_reading.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    if (net::WaitReadable(connection->socket, 5) != net::WaitResult::Ready) continue;
    int n = net::Recv(connection->socket, buffer, sizeof buffer);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (n > 0) {
      connection->received.append(buffer, static_cast<size_t>(n));
      // A proxy's answer to a CONNECT request, once its header is complete.
      if (!m_tunnelAnswer.empty() && !connection->tunnelAnswered &&
          connection->received.rfind("CONNECT ", 0) == 0 &&
          connection->received.find("\r\n\r\n") != std::string::npos) {
        connection->tunnelAnswered = true;
        net::Send(connection->socket, m_tunnelAnswer.data(),
                  static_cast<int>(m_tunnelAnswer.size()));
      }
    } else {
      connection->peerClosed = true;
      return;
    }
  }
}

void LoopbackServer::AnswerTunnels(std::string answer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tunnelAnswer = std::move(answer);
}

LoopbackServer::Connection* LoopbackServer::At(size_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return index < m_connections.size() ? m_connections[index].get() : nullptr;
}

size_t LoopbackServer::Connections() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_connections.size();
}

bool LoopbackServer::WaitForConnections(size_t count, int timeoutMs) {
  return WaitUntil([&] { return Connections() >= count; }, timeoutMs);
}

std::string LoopbackServer::Received(size_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return index < m_connections.size() ? m_connections[index]->received : std::string();
}

bool LoopbackServer::WaitForReceived(size_t index, size_t bytes, int timeoutMs) {
  return WaitUntil([&] { return Received(index).size() >= bytes; }, timeoutMs);
}

bool LoopbackServer::PeerClosed(size_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return index < m_connections.size() && m_connections[index]->peerClosed;
}

bool LoopbackServer::HeldOpen(size_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return index < m_connections.size() && m_connections[index]->socket != 0 &&
         !m_connections[index]->stop.load();
}

bool LoopbackServer::Send(size_t index, std::string_view data) {
  Connection* c = At(index);
  if (c == nullptr) return false;
  while (!data.empty()) {
    int n = net::Send(c->socket, data.data(), static_cast<int>(data.size()));
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void LoopbackServer::Close(size_t index, bool reset) {
  Connection* c = At(index);
  if (c == nullptr) return;
  c->stop.store(true);
  if (c->reader.joinable()) c->reader.join();
  if (reset) {
    linger option;
    option.l_onoff = 1;
    option.l_linger = 0;
#ifdef _WIN32
    setsockopt(static_cast<SOCKET>(c->socket), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&option), sizeof option);
#else
    setsockopt(static_cast<int>(c->socket), SOL_SOCKET, SO_LINGER, &option, sizeof option);
#endif
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  net::Close(c->socket);
  c->socket = 0;
}

void LoopbackServer::StopListening() {
  m_stopListening.store(true);
  WaitUntil([&] {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listener == 0;
  });
}

bool LoopbackServer::ResumeListening() {
  if (!m_stopListening.load()) return true;
  if (m_acceptor.joinable()) m_acceptor.join();
  const SocketHandle listener = net::Listen("127.0.0.1", m_port);
  if (listener == 0) return false;
  net::SetNonBlocking(listener, true);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = listener;
  }
  m_stopListening.store(false);
  m_acceptor = std::thread([this] { AcceptLoop(); });
  return true;
}

int32_t RefusedPort() {
  net::Startup();
  SocketHandle s = net::Listen("127.0.0.1", 0);
  int32_t port = net::LocalPort(s);
  net::Close(s);
  net::Cleanup();
  return port;
}

}  // namespace corvane::test
