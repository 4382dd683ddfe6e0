// Sending, reading, keep-alive and lifetime against loopback servers: the
// request bytes on the wire, the disconnect handling of a failed send with
// the reconnection inside the same call, whole sends to a slow or stalled
// reader, bursts that span many reads, and threads that end with the object.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/component/fixture.h"

namespace corvane::test {
namespace {

using Events = std::vector<std::string>;

std::string Request(const std::string& message) {
  return "Get http://127.0.0.1/\x02" + message +
         " HTTP/1.1\r\n"
         "Accept: /*\r\n"
         "Accept-Language: en-us\r\n"
         "Accept-Encoding: gzip, deflate\r\n"
         "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.0.3705)\r\n"
         "Host: 127.0.0.1\r\n"
         "Connection: Keep-Alive\r\n"
         "\r\n";
}

int32_t Send(CComponentMethods& c, const Variant& request) {
  Variant result;
  EXPECT_EQ(c.sendRequest(request, &result), kS_OK);
  EXPECT_EQ(result.vt, kVtInt);
  return result.intValue;
}

int32_t RequestCount(CComponentMethods& c) {
  Variant count;
  c.getRequestCount(&count);
  return count.intValue;
}

// Sends until a send fails (the connection was reset under it); bounded.
bool SendUntilFailure(CComponentMethods& c) {
  return WaitUntil([&] { return Send(c, Variant::Str("probe")) == -3; });
}

TEST(SendRequest, BytesCountsAndCodecFlags) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  ASSERT_EQ(Connect(*c, server.Port()), 0);
  ASSERT_TRUE(server.WaitForConnections(1));

  std::string expected;
  const std::string messages[] = {"1=2|3=4", "", "text with  spaces|9=x"};
  for (const auto& message : messages) {
    c->setCompression(Variant::I4(1));
    c->setEncryption(Variant::Str("on"));
    EXPECT_EQ(Send(*c, Variant::Str(message)), 0);
    auto s = c->GetSnapshot();
    EXPECT_FALSE(s.settings->compression);
    EXPECT_FALSE(s.settings->encryption);
    expected += Request(message);
  }
  EXPECT_EQ(RequestCount(*c), 3);
  ASSERT_TRUE(server.WaitForReceived(0, expected.size()));
  EXPECT_EQ(server.Received(0), expected);

  // Not a string: refused, nothing sent or counted, codec flags still cleared.
  c->setCompression(Variant::I4(1));
  EXPECT_EQ(Send(*c, Variant::I4(5)), -1);
  EXPECT_FALSE(c->GetSnapshot().settings->compression);
  EXPECT_EQ(RequestCount(*c), 3);
  EXPECT_TRUE(log.Events() == (Events{"connect true"}));
}

// With no connection the send fails, and that is how the component connects
// on demand.
TEST(SendRequest, WithoutConnection) {
  LoopbackServer server;
  struct Case {
    const char* what;
    bool endpoints;
    Events events;
  } cases[] = {
      {"no endpoints", false, {"disconnect false", "failure 1", "maximum 1"}},
      {"endpoints stored", true, {"disconnect false", "connect true"}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Count(-1));
    ASSERT_TRUE(c);
    if (test.endpoints) Connect(*c, server.Port());  // count -1: no attempt
    c->setTimerDetails(Variant::I4(0), Variant::I4(0));
    log.Clear();
    EXPECT_EQ(Send(*c, Variant::Str("1=1")), -3);
    EXPECT_EQ(log.Events(), test.events);
    EXPECT_EQ(RequestCount(*c), 0);
  }
}

TEST(SendRequest, FailureWithServerBackReconnectsAndReadingResumes) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  Connect(*c, server.Port());
  ASSERT_TRUE(server.WaitForConnections(1));
  server.Close(0, /*reset=*/true);
  log.Clear();
  const int32_t sentBefore = RequestCount(*c);
  ASSERT_TRUE(SendUntilFailure(*c));
  EXPECT_EQ(log.Events(), (Events{"disconnect false", "connect true"}));
  ASSERT_TRUE(server.WaitForConnections(2));
  EXPECT_TRUE(c->GetSnapshot().Of(LinkId::Interactive).reading);

  // Reading resumes on the new connection.
  ASSERT_TRUE(server.Send(1, Response({"70=10000", "7=after"})));
  EXPECT_TRUE(WaitUntil([&] {
    c->PumpEvents();
    return log.Count("data 7=after") == 1;
  }));
  EXPECT_EQ(log.Count("auth true|10000|Logon success"), 1u);
  // And sending works again; the failed request was not counted.
  const int32_t sentAfterFailure = RequestCount(*c);
  EXPECT_EQ(Send(*c, Variant::Str("2=2")), 0);
  EXPECT_EQ(RequestCount(*c), sentAfterFailure + 1);
  EXPECT_GE(sentAfterFailure, sentBefore);
  ASSERT_TRUE(server.WaitForReceived(1, Request("2=2").size()));
  EXPECT_EQ(server.Received(1), Request("2=2"));
}

TEST(SendRequest, FailureWithServerGone) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Count(1));
  ASSERT_TRUE(c);
  Connect(*c, server.Port());
  ASSERT_TRUE(server.WaitForConnections(1));
  server.StopListening();
  server.Close(0, /*reset=*/true);
  log.Clear();
  ASSERT_TRUE(SendUntilFailure(*c));
  EXPECT_EQ(log.Events(), (Events{"disconnect false", "failure 1", "failure 1", "maximum 1"}));
}

// A request much larger than the socket buffers reaches a reader that starts
// late, in full and in order.
TEST(SendBuffer, PartialSendsToALateReader) {
  LoopbackServer server(/*receiveBufferSize=*/4096, /*reading=*/false);
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  Connect(*c, server.Port());
  ASSERT_TRUE(server.WaitForConnections(1));
  std::string message;
  for (int i = 0; message.size() < (8u << 20); ++i) message += std::to_string(i) + "|";
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server.StartReading();
  });
  EXPECT_EQ(Send(*c, Variant::Str(message)), 0);
  reader.join();
  const std::string expected = Request(message);
  ASSERT_TRUE(server.WaitForReceived(0, expected.size(), 30000));
  EXPECT_TRUE(server.Received(0) == expected);
  EXPECT_EQ(log.Events(), (Events{"connect true"}));
}

// A peer that never reads: once the socket stays unwritable past the send
// bound the connection counts as broken.
TEST(SendBuffer, StalledReaderIsABrokenConnection) {
  LoopbackServer server(/*receiveBufferSize=*/4096, /*reading=*/false);
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  Connect(*c, server.Port());
  ASSERT_TRUE(server.WaitForConnections(1));
  log.Clear();
  EXPECT_EQ(Send(*c, Variant::Str(std::string(32u << 20, 'x'))), -3);
  EXPECT_EQ(log.Events(), (Events{"disconnect false", "connect true"}));
  EXPECT_EQ(RequestCount(*c), 0);
  EXPECT_TRUE(server.WaitForConnections(2));
}

TEST(SendBCRequest, SendsNothing) {
  struct Case {
    bool multi;
    Variant request;
    int32_t result;
    int32_t counted;
  } cases[] = {
      {false, Variant::Str("1=1"), 77, 1},  // the caller's value stays
      {true, Variant::Str("1=1"), 0, 0},
      {true, Variant::I4(1), -1, 0},
  };
  for (const auto& test : cases) {
    LoopbackServer server;
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Multi(test.multi));
    ASSERT_TRUE(c);
    Connect(*c, server.Port());
    Variant result = Variant::I4(77);
    EXPECT_EQ(c->sendBCRequest(test.request, &result), kS_OK);
    EXPECT_EQ(result.vt, kVtInt);
    EXPECT_EQ(result.intValue, test.result);
    EXPECT_EQ(RequestCount(*c), test.counted);
    EXPECT_EQ(Send(*c, Variant::Str("mark")), 0);
    ASSERT_TRUE(server.WaitForReceived(0, Request("mark").size()));
    EXPECT_EQ(server.Received(0), Request("mark"));  // nothing before it
  }
}

// Messages that span many reads arrive whole and in order.
TEST(ReceiveLoop, BurstAcrossManyReads) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  Connect(*c, server.Port());
  ASSERT_TRUE(server.WaitForConnections(1));
  constexpr int kMessages = 400;
  std::string burst = Response({"70=10000"});
  for (int i = 0; i < kMessages; ++i)
    burst += Response({"1=" + std::to_string(i) + "|2=" + std::string(1000, 'p')});
  ASSERT_GT(burst.size(), 10u * kRecvBufferSize);
  ASSERT_TRUE(server.Send(0, burst));
  size_t data = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        c->PumpEvents();
        data = log.Events().size();
        return data >= 2 + kMessages;
      },
      30000));
  const Events events = log.Events();
  ASSERT_EQ(events.size(), 2u + kMessages);
  EXPECT_EQ(events[1], "auth true|10000|Logon success");
  for (int i = 0; i < kMessages; ++i)
    ASSERT_EQ(events[2 + i], "data 1=" + std::to_string(i) + "|2=" + std::string(1000, 'p'));
  EXPECT_EQ(PacketCount(*c), 1 + kMessages);
}

// A host that does not pump leaves events queued; the reader then stops
// reading, so the queue stays bounded and the server is held back by TCP.
// Once the host pumps again every message arrives, in order.
TEST(ReceiveLoop, QueueFullHoldsTheReaderBackWithoutLosingMessages) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  Connect(*c, server.Port());
  ASSERT_TRUE(server.WaitForConnections(1));
  constexpr int kMessages = 40000;
  std::string feed = Response({"70=10000"});
  for (int i = 0; i < kMessages; i += 100) {
    std::vector<std::string> block;
    for (int j = i; j < i + 100; ++j) block.push_back("1=" + std::to_string(j));
    feed += Response(block);
  }
  // The send blocks once the component stops reading: it runs on its own thread.
  std::thread sender([&] { server.Send(0, feed); });
  size_t queued = 0;
  size_t stableRounds = 0;
  WaitUntil([&] {
    const size_t now = c->GetSession().Core().router.QueuedEvents();
    stableRounds = now == queued ? stableRounds + 1 : 0;
    queued = now;
    return stableRounds >= 50;
  });
  // At most the limit plus what one read (32 KiB of short messages) can add.
  EXPECT_LT(queued, 8192u + kRecvBufferSize / 4);
  EXPECT_LT(queued, static_cast<size_t>(kMessages));
  EXPECT_TRUE(WaitUntil(
      [&] {
        c->PumpEvents();
        return log.Events().size() >= 2 + kMessages;
      },
      60000));
  sender.join();
  const Events events = log.Events();
  ASSERT_EQ(events.size(), 2u + kMessages);
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(events[2 + i], "data 1=" + std::to_string(i));
}

// setMultiOC resets while connected: both readers stop, the sockets stay
// open, and a later connection reads again.
TEST(ReceiveLoop, ResetStopsReadersAndReconnectRestartsThem) {
  LoopbackServer interactive;
  LoopbackServer broadcast;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Multi());
  ASSERT_TRUE(c);
  c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(interactive.PortText()),
                  Variant::Str("127.0.0.1"), Variant::Str(broadcast.PortText()), Variant::Str(""),
                  Variant::Str(""));
  ASSERT_TRUE(interactive.WaitForConnections(1));
  ASSERT_TRUE(broadcast.WaitForConnections(1));
  c->setMultiOC(Variant::Bool(false));
  c->setCompression(Variant::Bool(false));
  c->setEncryption(Variant::Bool(false));
  auto s = c->GetSnapshot();
  EXPECT_FALSE(s.Of(LinkId::Interactive).reading);
  EXPECT_FALSE(s.Of(LinkId::Broadcast).reading);
  EXPECT_FALSE(interactive.PeerClosed(0));
  EXPECT_FALSE(broadcast.PeerClosed(0));

  log.Clear();
  Connect(*c, interactive.Port());
  EXPECT_EQ(log.Events(), (Events{"connect true"}));
  ASSERT_TRUE(interactive.WaitForConnections(2));
  ASSERT_TRUE(interactive.Send(1, Response({"70=10000"})));
  EXPECT_TRUE(WaitUntil([&] {
    c->PumpEvents();
    return log.Count("auth true|10000|Logon success") == 1;
  }));
}

TEST(KeepAlive, StartsOnlyWhenConnectedAndSendsNothing) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  c->setKeepAliveTimerDetail(Variant::I4(5));
  Variant untouched = Variant::I4(77);
  // Not connected: nothing starts.
  EXPECT_EQ(c->startKeepAlive(Variant::Str(""), &untouched), kS_OK);
  // Inside the first handleConnect the reading flag is not set yet.
  HResult insideConnect = -1;
  c->putref_handleConnect(MakeCallback([&](CComponentMethods& self, const std::string&) {
    insideConnect = self.startKeepAlive(Variant::Str(""), &untouched);
  }));
  Connect(*c, server.Port());
  EXPECT_EQ(insideConnect, kS_OK);
  ASSERT_TRUE(server.WaitForConnections(1));

  struct Case {
    int32_t interval;
    HResult result;
  } cases[] = {{5, kS_OK}, {5, kS_OK}, {0, kS_OK}, {-1, kE_FAIL}, {1, kS_OK}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.interval);
    c->setKeepAliveTimerDetail(Variant::I4(test.interval));
    EXPECT_EQ(c->startKeepAlive(Variant::Str("ignored"), &untouched), test.result);
  }
  EXPECT_EQ(untouched.vt, kVtI4);
  EXPECT_EQ(untouched.intValue, 77);
  // Ticks send nothing: the first bytes the server sees are a request's.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Send(*c, Variant::Str("k")), 0);
  ASSERT_TRUE(server.WaitForReceived(0, Request("k").size()));
  EXPECT_EQ(server.Received(0), Request("k"));
}

// Releasing the object ends the readers (also busy ones) and the keep-alive
// worker and closes both connections.
TEST(Lifetime, ReleaseEndsEveryThreadAndClosesTheConnections) {
  LoopbackServer interactive;
  LoopbackServer broadcast;
  EventLog log;
  {
    auto c = MakeComponent(log, ComponentOptions().Multi());
    ASSERT_TRUE(c);
    c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(interactive.PortText()),
                    Variant::Str("127.0.0.1"), Variant::Str(broadcast.PortText()), Variant::Str(""),
                    Variant::Str(""));
    c->setKeepAliveTimerDetail(Variant::I4(1000));
    EXPECT_EQ(c->startKeepAlive(Variant::Str(""), nullptr), kS_OK);
    ASSERT_TRUE(interactive.WaitForConnections(1));
    ASSERT_TRUE(broadcast.WaitForConnections(1));
    ASSERT_TRUE(interactive.Send(0, Response({"70=10000"})));
    std::string feed;
    for (int i = 0; i < 200; ++i) feed += Response({"9=" + std::to_string(i)});
    ASSERT_TRUE(broadcast.Send(0, feed));
    // Released with data still being read and events still queued.
  }
  EXPECT_TRUE(WaitUntil([&] { return interactive.PeerClosed(0) && broadcast.PeerClosed(0); }));
}

}  // namespace
}  // namespace corvane::test
