// The component suites' fixtures: a proxy-settings source with fixed
// answers, an event log fed by the seven callbacks, a component set up as a
// page does it, and plain responses.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "component/component_methods.h"
#include "platform/proxy_settings.h"
#include "tests/platform/loopback_server.h"

namespace corvane::test {

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
// "maximum 2", "disconnect false", "bcdisconnect false", "auth TEXT",
// "data TEXT".
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
