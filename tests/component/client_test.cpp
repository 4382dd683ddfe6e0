// The typed C++ face against loopback servers: the calls it makes in the
// page's order, and the text events turned into typed handlers.
#include "component/client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/component/fixture.h"

namespace corvane::test {
namespace {

Client::Handlers Record(EventLog& seen) {
  Client::Handlers on;
  auto name = [](Client::Connection c) {
    return c == Client::Connection::Interactive ? "interactive" : "broadcast";
  };
  on.connected = [&seen] { seen.Add("connected"); };
  on.connectionFailed = [&seen, name](Client::Connection c) {
    seen.Add(std::string("failed ") + name(c));
  };
  on.attemptsUsedUp = [&seen, name](Client::Connection c) {
    seen.Add(std::string("used up ") + name(c));
  };
  on.disconnected = [&seen] { seen.Add("disconnected"); };
  on.authentication = [&seen](const std::string& code, const std::string& status) {
    seen.Add("logon " + code + " " + status);
  };
  on.data = [&seen](const std::string& message) { seen.Add("data " + message); };
  return on;
}

TEST(Client, BothConnectionsLogonDataAndRequests) {
  LoopbackServer interactive;
  LoopbackServer broadcast;
  EventLog seen;
  Client::Options options;
  options.broadcast = true;
  options.compression = false;
  options.encryption = false;
  auto client = Client::Create(options, Record(seen));
  ASSERT_TRUE(client);
  client->Connect("127.0.0.1", static_cast<uint16_t>(interactive.Port()),
                  static_cast<uint16_t>(broadcast.Port()));
  EXPECT_EQ(seen.Events(), (std::vector<std::string>{"connected", "connected"}));
  ASSERT_TRUE(interactive.WaitForConnections(1));
  ASSERT_TRUE(broadcast.WaitForConnections(1));

  ASSERT_TRUE(interactive.Send(0, Response({"70=10004|97=5"})));
  ASSERT_TRUE(WaitUntil([&] {
    client->PumpEvents();
    return seen.Events().size() == 3;
  }));
  ASSERT_TRUE(broadcast.Send(0, Response({"55=ABC|270=1.5"})));
  ASSERT_TRUE(WaitUntil([&] {
    client->PumpEvents();
    return seen.Events().size() == 4;
  }));
  EXPECT_EQ(seen.Events()[2], "logon 10004 Password expires in 5 days");
  EXPECT_EQ(seen.Events()[3], "data 55=ABC|270=1.5");

  EXPECT_EQ(client->Send("1=quote|55=ABC"), 0);
  const std::string request =
      std::string("Get http://127.0.0.1/\x02") + "1=quote|55=ABC HTTP/1.1\r\n";
  ASSERT_TRUE(interactive.WaitForReceived(0, request.size()));
  EXPECT_EQ(interactive.Received(0).substr(0, request.size()), request);
  EXPECT_EQ(client->RequestCount(), 1);
  EXPECT_EQ(client->PacketCount(), 2);
}

TEST(Client, FailedAttemptsAreTyped) {
  EventLog seen;
  Client::Options options;
  options.reconnectCount = 1;
  auto client = Client::Create(options, Record(seen));
  ASSERT_TRUE(client);
  client->Connect("127.0.0.1", static_cast<uint16_t>(RefusedPort()));
  EXPECT_EQ(seen.Events(), (std::vector<std::string>{"failed interactive", "failed interactive",
                                                     "used up interactive"}));
  EXPECT_EQ(client->Send("x"), -3);
  const auto events = seen.Events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[3], "disconnected");
}

}  // namespace
}  // namespace corvane::test
