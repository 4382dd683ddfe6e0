// The bridge's listener and session threads: see server.h.
#include "tools/bridge/server.h"

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include <atomic>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>

namespace corvane::bridge {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// How long a stopping bridge waits for a page to take its close frame: every
// session has ended within about this time (its component's thread is joined
// after it, and holds nothing up: its sequences are abandoned).
constexpr std::chrono::seconds kStopGrace{1};

// Binding [::1] fails this way only where the system has no IPv6 loopback, so
// no other process can hold it either.
bool NoIpv6Loopback(const boost::system::error_code& ec) {
  namespace errc = boost::system::errc;
  return ec == errc::address_family_not_supported || ec == errc::address_not_available;
}

struct BridgeServer::Runner {
  net::io_context context{1};
  std::shared_ptr<Session> session;
  std::thread thread;
  std::atomic<bool> done{false};
};

BridgeServer::BridgeServer(BridgeConfig config, LogFunction log)
    : m_config(std::move(config)), m_log(std::move(log)) {}

BridgeServer::~BridgeServer() { Stop(); }

bool BridgeServer::Start(std::string* error) {
  const auto open = [&](const tcp::endpoint& endpoint, std::string* why,
                        boost::system::error_code* code = nullptr) {
    auto acceptor = std::make_unique<tcp::acceptor>(m_context);
    boost::system::error_code ec;
    acceptor->open(endpoint.protocol(), ec);
    if (!ec && endpoint.address().is_v6()) acceptor->set_option(net::ip::v6_only(true), ec);
#if defined(_WIN32)
    // No other socket may bind the address while the bridge holds it, not
    // even one asking for SO_REUSEADDR (which Windows would let take over
    // the port and its pages).
    const BOOL exclusive = TRUE;
    if (!ec && ::setsockopt(acceptor->native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                            reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0)
      ec.assign(::WSAGetLastError(), boost::system::system_category());
#else
    // A restarted bridge binds again while its old connections linger in
    // TIME_WAIT; a port another socket listens on is still refused.
    if (!ec) acceptor->set_option(net::socket_base::reuse_address(true), ec);
#endif
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
      if (code != nullptr) *code = ec;
      *why = endpoint.address().to_string() + " port " + std::to_string(endpoint.port()) + ": " +
             ec.message();
      return false;
    }
    m_port = acceptor->local_endpoint().port();
    m_acceptors.push_back(std::move(acceptor));
    return true;
  };
  if (!open(tcp::endpoint(net::ip::address_v4::loopback(), m_config.port), error)) return false;
  // Browsers try [::1] first for localhost: were another process listening
  // there, the pages that name localhost would reach it instead.
  std::string why;
  boost::system::error_code v6;
  if (!open(tcp::endpoint(net::ip::address_v6::loopback(), m_port), &why, &v6)) {
    if (!NoIpv6Loopback(v6)) {
      *error = why;
      m_acceptors.clear();
      return false;
    }
    Log("not listening on [::1]: " + why);
  }
  for (auto& acceptor : m_acceptors) Accept(*acceptor);
  m_thread = std::thread([this] {
    for (;;) {
      try {
        m_context.run();
        return;
      } catch (const std::exception& e) {
        Log(std::string("accepting failed: ") + e.what());
      }
    }
  });
  return true;
}

void BridgeServer::Accept(tcp::acceptor& acceptor) {
  // The connection is accepted straight into the context of the thread that
  // will serve it (moving a socket between contexts needs release(), which
  // Windows has only from 8.1 on).
  auto runner = std::make_shared<Runner>();
  acceptor.async_accept(
      runner->context, [this, &acceptor, runner](boost::system::error_code ec, tcp::socket socket) {
        if (ec) return;  // stopped
        OnAccepted(runner, std::move(socket));
        Accept(acceptor);
      });
}

void BridgeServer::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_logMutex);
  m_log(line);
}

void BridgeServer::Reap() {
  for (auto it = m_runners.begin(); it != m_runners.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = m_runners.erase(it);
    } else {
      ++it;
    }
  }
}

void BridgeServer::OnAccepted(const std::shared_ptr<Runner>& runner, tcp::socket socket) {
  std::lock_guard<std::mutex> lock(m_runnersMutex);
  Reap();
  if (m_stopped) return;
  if (m_runners.size() >= m_config.maxConnections) {
    Log("refused a connection: " + std::to_string(m_config.maxConnections) +
        " connections are open");
    static const char kBusy[] =
        "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    boost::system::error_code ignored;
    net::write(socket, net::buffer(kBusy, sizeof kBusy - 1), ignored);
    return;
  }
  runner->session = std::make_shared<Session>(
      std::move(socket), m_config, [this](const std::string& line) { Log(line); },
      [r = runner.get()] { r->context.stop(); });
  net::post(runner->context, [session = runner->session] { session->Start(); });
  runner->thread = std::thread([this, r = runner.get()] {
    try {
      r->context.run();
    } catch (const std::exception& e) {
      // A handler that throws ends its page's session, never the bridge.
      Log(std::string("a page's session failed: ") + e.what());
    }
    r->session->Release();
    r->done = true;
  });
  m_runners.push_back(runner);
}

void BridgeServer::Stop() {
  if (m_thread.joinable()) {
    net::post(m_context, [this] {
      for (auto& acceptor : m_acceptors) {
        boost::system::error_code ignored;
        acceptor->close(ignored);
      }
    });
    m_thread.join();
  }
  std::list<std::shared_ptr<Runner>> runners;
  {
    std::lock_guard<std::mutex> lock(m_runnersMutex);
    m_stopped = true;
    runners.swap(m_runners);
  }
  for (auto& runner : runners) {
    net::post(runner->context, [session = runner->session] {
      session->Close(boost::beast::websocket::close_code::going_away, "the bridge is stopping");
    });
    // A page that has stopped reading never takes the close frame (nor a
    // write still pending before it): after a grace period its session's
    // context is stopped, so the session ends and its component is released.
    auto grace = std::make_shared<net::steady_timer>(runner->context, kStopGrace);
    grace->async_wait([grace, r = runner.get()](boost::system::error_code) { r->context.stop(); });
  }
  for (auto& runner : runners) runner->thread.join();
}

}  // namespace corvane::bridge
