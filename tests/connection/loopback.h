// Test peers for the connection and component tests: a loopback TCP server
// that records what each accepted connection receives and sends what a test
// tells it to, a proxy-settings source with fixed answers, an event log fed
// by the seven callbacks, and bounded waiting. Everything listens on
// 127.0.0.1 only.
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

#include "component/component_methods.h"
#include "platform/proxy_settings.h"
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
  bool Send(size_t index, std::string_view data);
  // Closes connection index; with reset, abortively (RST).
  void Close(size_t index, bool reset = false);
  void StartReading() { m_reading.store(true); }
  // Closes the listener: further connects are refused.
  void StopListening();

 private:
  struct Connection {
    SocketHandle socket = 0;
    std::string received;
    bool peerClosed = false;
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
  std::thread m_acceptor;
  std::mutex m_mutex;  // guards m_connections and each connection's record
  std::vector<std::unique_ptr<Connection>> m_connections;
};

// A port on 127.0.0.1 where nothing listens (connects are refused).
int32_t RefusedPort();

// Answers every read with the settings it was given.
class FixedProxySource : public ProxySettingsSource {
 public:
  FixedProxySource(bool readable, bool enabled, std::string server)
      : m_readable(readable), m_enabled(enabled), m_server(std::move(server)) {}
  bool Read(const std::string& interactiveHost, ProxySettings& settings) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hosts.push_back(interactiveHost);
    settings.enabled = m_enabled;
    settings.server = m_server;
    return m_readable;
  }
  std::vector<std::string> Hosts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hosts;
  }

 private:
  bool m_readable;
  bool m_enabled;
  std::string m_server;
  std::mutex m_mutex;
  std::vector<std::string> m_hosts;
};

std::shared_ptr<FixedProxySource> DirectSource();
std::shared_ptr<FixedProxySource> ProxyAt(int32_t port);

// Events in the order the callbacks ran: "connect true", "failure 1",
// "maximum 2", "disconnect false", "auth TEXT", "data TEXT".
class EventLog {
 public:
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(std::move(event));
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
  }
  size_t Count(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& e : m_events) n += e == event ? 1 : 0;
    return n;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_events;
};

struct ComponentOptions {
  int32_t reconnectCount = 0;
  bool multi = false;
  std::shared_ptr<ProxySettingsSource> proxy;  // DirectSource() when empty
  bool credentials = false;
  std::string user = "user";
  std::string password = "pass";

  ComponentOptions& Count(int32_t n) {
    reconnectCount = n;
    return *this;
  }
  ComponentOptions& Multi(bool on = true) {
    multi = on;
    return *this;
  }
  ComponentOptions& Proxy(std::shared_ptr<ProxySettingsSource> source) {
    proxy = std::move(source);
    return *this;
  }
  ComponentOptions& Credentials(std::string u = "user", std::string p = "pass") {
    credentials = true;
    user = std::move(u);
    password = std::move(p);
    return *this;
  }
};

// A component set up as a page does it: setMultiOC, plain traffic, the
// reconnection count, the proxy source, credentials, then the callbacks.
std::unique_ptr<CComponentMethods> MakeComponent(EventLog& log, const ComponentOptions& options);

// Runs SetServerDetails with a dotted address; returns the VT_INT result.
int32_t Connect(CComponentMethods& c, int32_t interactivePort, int32_t bcastPort = 0);

// One plain HTTP response whose body is the messages, each behind STX.
std::string Response(const std::vector<std::string>& messages);

int32_t PacketCount(CComponentMethods& c);

}  // namespace corvane::test
