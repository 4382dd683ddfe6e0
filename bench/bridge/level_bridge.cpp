// corvane-bridge-level2: the bridge's page sessions served at protocol level
// 2 (events in arrays) without the version handshake, for the benchmark to
// measure batching in a browser against the same sessions at level 1. Listens
// on 127.0.0.1 only, one thread per page, no connection limit; prints
// "listening PORT" and runs until SIGINT or SIGTERM. A benchmark tool on
// loopback, never a service:
//
//   corvane-bridge-level2 LEVEL ORIGIN [--write-queue-bytes=N] HOST:PORT...
#include <signal.h>

#include <boost/asio/ip/tcp.hpp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/bridge/session.h"

namespace net = boost::asio;
using tcp = net::ip::tcp;
using corvane::bridge::BridgeConfig;
using corvane::bridge::Session;

namespace {

struct Page {
  net::io_context context{1};
  std::shared_ptr<Session> session;
  std::thread thread;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: corvane-bridge-level2 LEVEL ORIGIN HOST:PORT...\n");
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const int level = std::atoi(argv[1]);
  BridgeConfig config;
  config.allowedOrigins = {argv[2]};
  config.maxMessagesPerSecond = 0;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--write-queue-bytes=", 0) == 0) {
      config.writeQueueBytes = std::strtoull(arg.c_str() + 20, nullptr, 10);
      continue;
    }
    if (auto server = corvane::bridge::ParseServerAddress(argv[i]))
      config.allowedServers.push_back(*server);
  }

  net::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  std::printf("listening %u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
  std::fflush(stdout);
  std::mutex mutex;
  std::list<Page> pages;
  // Each page's socket is accepted onto its own context, whose thread then
  // runs everything of its session.
  std::function<void()> accept = [&] {
    Page* page;
    {
      std::lock_guard<std::mutex> lock(mutex);
      page = &pages.emplace_back();
    }
    acceptor.async_accept(
        page->context, [&, page](boost::system::error_code ec, tcp::socket socket) {
          if (ec) return;
          page->session = std::make_shared<Session>(
              std::move(socket), config,
              [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); },
              [page] { page->context.stop(); });
          page->session->SetProtocolLevel(level);
          net::post(page->context, [s = page->session] { s->Start(); });
          page->thread = std::thread([page] {
            page->context.run();
            page->session->Release();
          });
          accept();
        });
  };
  accept();
  std::thread runner([&context] { context.run(); });
  int signal = 0;
  sigwait(&signals, &signal);
  context.stop();
  runner.join();
  std::lock_guard<std::mutex> lock(mutex);
  for (Page& page : pages) {
    page.context.stop();
    if (page.thread.joinable()) page.thread.join();
  }
  return 0;
}
