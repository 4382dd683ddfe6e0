// The bridge's WebSocket server: listens on 127.0.0.1 and [::1] (the same
// port on both; on Windows for exclusive use), and runs every accepted
// connection as a Session on a thread of its own. [::1] is skipped, with a
// log line, only where the system has no IPv6 loopback; when it cannot be
// bound otherwise (another process holds the port there) the bridge does
// not start.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/bridge/config.h"
#include "tools/bridge/session.h"

namespace corvane::bridge {

class BridgeServer {
 public:
  // log receives one line per event worth a line (refusals, closes); it is
  // called from several threads, one line at a time.
  BridgeServer(BridgeConfig config, LogFunction log);
  ~BridgeServer();
  BridgeServer(const BridgeServer&) = delete;
  BridgeServer& operator=(const BridgeServer&) = delete;

  // Binds and starts accepting; false with the reason when 127.0.0.1 or
  // [::1] cannot be bound.
  bool Start(std::string* error);
  uint16_t Port() const { return m_port; }
  // Closes every page's connection with 1001 (going away), releases their
  // components and stops listening; a page that does not take its close
  // frame is let go after a second.
  void Stop();

 private:
  struct Runner;
  void Accept(boost::asio::ip::tcp::acceptor& acceptor);
  void OnAccepted(const std::shared_ptr<Runner>& runner, boost::asio::ip::tcp::socket socket);
  void Reap();
  void Log(const std::string& line);

  BridgeConfig m_config;
  LogFunction m_log;
  std::mutex m_logMutex;
  boost::asio::io_context m_context;
  std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> m_acceptors;
  std::thread m_thread;
  uint16_t m_port = 0;
  std::mutex m_runnersMutex;
  std::list<std::shared_ptr<Runner>> m_runners;
  bool m_stopped = false;
};

}  // namespace corvane::bridge
