// The component's thread in the bridge, with a real component and a port
// that refuses: what a call fires waits at the page's write bound, and a call
// that would go on for ever ends as soon as the page goes.
#include "tools/bridge/component_thread.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

namespace corvane::bridge {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& condition) {
  for (const auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(5);) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(BridgeComponentThread, ACallsEventsWaitAtTheBoundAndItEndsWithThePage) {
  uint16_t refused = 0;
  {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor unused(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    refused = unused.local_endpoint().port();
  }
  BridgeConfig config;
  config.allowedServers = {{"127.0.0.1", refused}};
  config.attemptFloorMs = 0;  // attempts back to back: events as fast as they come
  config.writeQueueBytes = 1024;
  // The session's count, fed by the events and emptied here as a page would.
  std::atomic<size_t> queued{0};
  std::atomic<int> events{0};
  ComponentThread thread(
      config,
      [&](std::string_view, const std::string&, std::string_view) {
        queued += 64;
        ++events;
      },
      [](const std::string&) {}, queued);
  std::promise<bool> made;
  ASSERT_TRUE(thread.Start([&made](bool ok) { made.set_value(ok); }));
  ASSERT_TRUE(made.get_future().get());
  std::promise<std::optional<std::string>> reply;
  thread.Run([&](MemberCaller& caller) {
    caller.HandleFrame(R"({"id":1,"method":"handleConnectionFailure","args":[true]})");
    caller.HandleFrame(R"({"id":2,"method":"setTimerDetails","args":[0,2147483647]})");
    const json call = {
        {"id", 3}, {"method", "SetServerDetails"}, {"args", {"127.0.0.1", refused, 0, 1}}};
    reply.set_value(caller.HandleFrame(call.dump()));
  });
  // 1024 / 64: sixteen events reach the bound, and no more come.
  for (const int bound : {16, 32}) {
    EXPECT_TRUE(WaitFor([&] { return events >= bound; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(events, bound);
    queued = 0;  // the page took them
    thread.Wake();
  }
  const auto start = Clock::now();
  thread.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(reply.get_future().wait_for(std::chrono::seconds(0)), std::future_status::ready);
}

}  // namespace
}  // namespace corvane::bridge
