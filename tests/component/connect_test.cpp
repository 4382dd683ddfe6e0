// Connection sequences against loopback servers: the events each sequence
// fires (all before the method returns), the endpoints it stores, name
// resolution, and the script-driven ConnectToServer / ReceiveData path.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/component/fixture.h"

namespace corvane::test {
namespace {

using Events = std::vector<std::string>;

TEST(ConnectionSequence, BothConnectionsUpInteractiveFirst) {
  LoopbackServer interactive;
  LoopbackServer broadcast;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Multi());
  ASSERT_TRUE(c);
  // Which reading flags were set when each "true" ran tells the connections
  // apart: the interactive one is set right after its own event.
  std::vector<bool> interactiveReadingAtEvent;
  c->putref_handleConnect(MakeCallback([&](CComponentMethods& self, const std::string& text) {
    interactiveReadingAtEvent.push_back(self.GetSnapshot().Of(LinkId::Interactive).reading);
    log.Add("connect " + text);
  }));
  c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(interactive.PortText()),
                  Variant::Str("127.0.0.1"), Variant::Str(broadcast.PortText()), Variant::Str(""),
                  Variant::Str(""));
  EXPECT_EQ(log.Events(), (Events{"connect true", "connect true"}));
  EXPECT_EQ(interactiveReadingAtEvent, (std::vector<bool>{false, true}));
  EXPECT_TRUE(interactive.WaitForConnections(1));
  EXPECT_TRUE(broadcast.WaitForConnections(1));
  auto s = c->GetSnapshot();
  EXPECT_TRUE(s.Of(LinkId::Interactive).reading);
  EXPECT_TRUE(s.Of(LinkId::Broadcast).reading);
  EXPECT_EQ(s.Of(LinkId::Interactive).endpoint.port, interactive.Port());
  EXPECT_EQ(s.Of(LinkId::Broadcast).endpoint.port, broadcast.Port());
}

// Each connection resolves its own server's name: a broadcast server given by
// name is reached too (it once had to be a dotted address).
TEST(ConnectionSequence, EachConnectionResolvesItsOwnName) {
  LoopbackServer interactive;
  LoopbackServer broadcast;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Multi());
  c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(interactive.PortText()),
                  Variant::Str("localhost"), Variant::Str(broadcast.PortText()), Variant::Str(""),
                  Variant::Str(""));
  EXPECT_EQ(log.Events(), (Events{"connect true", "connect true"}));
  EXPECT_TRUE(broadcast.WaitForConnections(1));
  const LinkSnapshot s = c->GetSnapshot().Of(LinkId::Broadcast);
  EXPECT_EQ(s.endpoint.name, "localhost");
  EXPECT_EQ(s.endpoint.address, "127.0.0.1");
}

// Attempts: N + 1 interactive ones back to back, then the maximum event; one
// broadcast attempt per call and no maximum event unless the count is negative.
TEST(ConnectionSequence, FailureEventsByReconnectCount) {
  struct Case {
    int32_t count;
    bool multi;
    Events events;
  } cases[] = {
      {0, false, {"failure 1", "maximum 1"}},
      {2, false, {"failure 1", "failure 1", "failure 1", "maximum 1"}},
      {-1, false, {"maximum 1"}},
      {1, true, {"failure 1", "failure 1", "maximum 1", "failure 2"}},
      {-3, true, {"maximum 1", "maximum 2"}},
  };
  const int32_t refused = RefusedPort();
  for (const auto& test : cases) {
    SCOPED_TRACE("count " + std::to_string(test.count) + (test.multi ? " multi" : ""));
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Count(test.count).Multi(test.multi));
    ASSERT_TRUE(c);
    c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(std::to_string(refused)),
                    Variant::Str("127.0.0.1"), Variant::Str(std::to_string(refused)),
                    Variant::Str(""), Variant::Str(""));
    EXPECT_EQ(log.Events(), test.events);
  }
}

TEST(ConnectionSequence, InteractiveDownCountTwoBeforeSetServerDetailsReturns) {
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Count(2));
  ASSERT_TRUE(c);
  EXPECT_EQ(Connect(*c, RefusedPort()), 0);  // outcomes arrive as events only
  EXPECT_EQ(log.Events(), (Events{"failure 1", "failure 1", "failure 1", "maximum 1"}));
  EXPECT_FALSE(c->GetSnapshot().Of(LinkId::Interactive).reading);
}

// A host serving untrusted callers (the bridge) sets a floor between the
// session's attempts, and abandons a sequence from another thread: the
// floor's wait ends at once and nothing more is fired.
TEST(ConnectionSequence, AttemptsArePacedAndAnAbandonedSequenceEndsAtOnce) {
  using Clock = std::chrono::steady_clock;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Count(3));
  ASSERT_TRUE(c);
  c->GetSession().Core().SetAttemptFloor(150);
  auto start = Clock::now();
  Connect(*c, RefusedPort());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(450));  // 4 attempts
  EXPECT_EQ(log.Events(),
            (Events{"failure 1", "failure 1", "failure 1", "failure 1", "maximum 1"}));

  EventLog abandoned;
  auto d = MakeComponent(abandoned, ComponentOptions().Count(3));
  ASSERT_TRUE(d);
  d->GetSession().Core().SetAttemptFloor(600000);  // the second attempt waits ten minutes
  std::thread host([&] {
    WaitUntil([&] { return abandoned.Count("failure 1") == 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    d->GetSession().Core().Abandon();
  });
  start = Clock::now();
  Connect(*d, RefusedPort());
  host.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(abandoned.Events(), Events{"failure 1"});
}

TEST(ConnectionSequence, BroadcastDown) {
  LoopbackServer interactive;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Count(3).Multi());
  ASSERT_TRUE(c);
  c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(interactive.PortText()),
                  Variant::Str("127.0.0.1"), Variant::Str(std::to_string(RefusedPort())),
                  Variant::Str(""), Variant::Str(""));
  EXPECT_EQ(log.Events(), (Events{"connect true", "failure 2"}));
  auto s = c->GetSnapshot();
  EXPECT_TRUE(s.Of(LinkId::Interactive).reading);
  EXPECT_FALSE(s.Of(LinkId::Broadcast).reading);
}

// A second setOCDetails reconnects: the old connection is closed and the new
// one has the only reader.
TEST(ConnectionSequence, ReconnectReplacesTheConnection) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  for (int i = 0; i < 3; ++i) {
    c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(server.PortText()), Variant::Str(""),
                    Variant::Str("0"), Variant::Str(""), Variant::Str(""));
  }
  EXPECT_EQ(log.Events(), (Events{"connect true", "connect true", "connect true"}));
  ASSERT_TRUE(server.WaitForConnections(3));
  EXPECT_TRUE(WaitUntil([&] { return server.PeerClosed(0) && server.PeerClosed(1); }));
  EXPECT_FALSE(server.PeerClosed(2));
  // The live connection is read.
  ASSERT_TRUE(server.Send(2, Response({"70=10000"})));
  EXPECT_TRUE(WaitUntil([&] {
    c->PumpEvents();
    return log.Count("auth true|10000|Logon success") == 1;
  }));
}

TEST(SetServerDetails, RefusedArgumentsStoreNothing) {
  struct Case {
    const char* what;
    Variant address;
    Variant port;
  } cases[] = {
      {"port as VT_INT", Variant::Str("127.0.0.1"), Variant::Int(80)},
      {"address not a string", Variant::I4(1), Variant::I4(80)},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions());
    ASSERT_TRUE(c);
    Variant result = Variant::Str("junk");
    c->SetServerDetails(test.address, test.port, Variant::I4(5), Variant::I4(1), &result);
    EXPECT_EQ(result.vt, kVtInt);
    EXPECT_EQ(result.intValue, -1);
    EXPECT_TRUE(log.Events().empty());
    auto s = c->GetSnapshot();
    EXPECT_EQ(s.Of(LinkId::Interactive).endpoint.Host(), "");
    EXPECT_EQ(s.Of(LinkId::Interactive).endpoint.port, 0);
    EXPECT_EQ(s.Of(LinkId::Broadcast).endpoint.port, 0);
  }
}

// Every real broadcast port is taken; 0 and the values whose low 16 bits are
// 0 clear it; other negative low halves leave it as it was.
TEST(SetServerDetails, BroadcastPortRule) {
  struct Case {
    int32_t given;
    int32_t stored;  // the port held before is 7
  } cases[] = {
      {1, 1},         {32767, 32767}, {32768, 32768},  {40000, 40000},   {65535, 65535},
      {0, 0},         {-1, 7},        {-100, 7},       {-40000, -40000}, {65536, 0},
      {70000, 70000}, {-65536, 0},    {0x7fffffff, 7},
  };
  const int32_t refused = RefusedPort();
  for (const auto& test : cases) {
    SCOPED_TRACE(test.given);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Count(-1));  // no attempts
    ASSERT_TRUE(c);
    Variant result;
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(refused), Variant::I4(7),
                        Variant::I4(1), &result);
    ASSERT_EQ(c->GetSnapshot().Of(LinkId::Broadcast).endpoint.port, 7);
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(refused), Variant::I4(test.given),
                        Variant::I4(1), &result);
    EXPECT_EQ(result.intValue, 0);
    EXPECT_EQ(c->GetSnapshot().Of(LinkId::Broadcast).endpoint.port, test.stored);
  }
}

TEST(SetServerDetails, AddressFormatFlagAndNameResolution) {
  LoopbackServer server;
  struct Case {
    Variant flag;
    int32_t stored;
  } cases[] = {{Variant::I4(1), 1}, {Variant::I4(2), 0}, {Variant::Str("1"), 0}};
  for (const auto& test : cases) {
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions());
    ASSERT_TRUE(c);
    Variant result;
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(server.Port()), Variant::I4(0),
                        test.flag, &result);
    EXPECT_EQ(c->GetSnapshot().settings->ipAddrFormatFlag, test.stored);
    EXPECT_EQ(log.Events(), (Events{"connect true"}));
  }
  // Flag 0: the name is resolved and replaced by its dotted form.
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  Variant result;
  c->SetServerDetails(Variant::Str("localhost"), Variant::I4(server.Port()), Variant::I4(0),
                      Variant::I4(0), &result);
  EXPECT_EQ(log.Events(), (Events{"connect true"}));
  EXPECT_EQ(c->GetSnapshot().Of(LinkId::Interactive).endpoint.Host(), "127.0.0.1");
#ifndef _WIN32
  // A name that does not resolve fails the attempt (the empty name fails
  // without asking a name server; Windows takes it as this host).
  log.Clear();
  c->SetServerDetails(Variant::Str(""), Variant::I4(server.Port()), Variant::I4(0), Variant::I4(0),
                      &result);
  EXPECT_EQ(log.Events(), (Events{"failure 1", "maximum 1"}));
#endif
}

TEST(SetOCDetails, PortsAsTextAndRefusals) {
  struct Case {
    Variant interactiveIp;
    Variant bcastPort;
    bool refused;
    int32_t stored;
  } cases[] = {
      {Variant::Str("127.0.0.1"), Variant::Str("9001"), false, 9001},
      {Variant::Str("127.0.0.1"), Variant::Str("abc"), false, 0},
      {Variant::Str("127.0.0.1"), Variant::Str("  -12x"), false, -12},
      {Variant::Str("127.0.0.1"), Variant::Str("99999999999"), false, 2147483647},
      {Variant::Str("127.0.0.1"), Variant::I4(4321), false, 4321},
      {Variant::I4(1), Variant::Str("9001"), true, 0},
  };
  const std::string refused = std::to_string(RefusedPort());
  for (const auto& test : cases) {
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions());
    ASSERT_TRUE(c);
    c->setOCDetails(test.interactiveIp, Variant::Str(refused), Variant::Str("127.0.0.1"),
                    test.bcastPort, Variant::Str("policy"), Variant::Str("1"));
    EXPECT_EQ(c->GetSnapshot().Of(LinkId::Broadcast).endpoint.port, test.stored);
    EXPECT_EQ(log.Events().size(), test.refused ? 0u : 2u);
  }
  // The interactive port given as VT_INT is refused too.
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Int(1), Variant::Str("127.0.0.1"),
                  Variant::Str("5"), Variant::Str(""), Variant::Str(""));
  EXPECT_TRUE(log.Events().empty());
  EXPECT_EQ(c->GetSnapshot().Of(LinkId::Broadcast).endpoint.port, 0);
}

// A script that reads for itself: the endpoints are stored without a
// connection being made (a negative count makes no attempt), so no reader
// competes with ReceiveData.
TEST(ScriptPath, ConnectToServerThenReceiveData) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Count(-1));
  ASSERT_TRUE(c);
  Variant data;
  // Nothing connected yet.
  c->ReceiveData(&data);
  EXPECT_EQ(data.vt, kVtBstr);
  EXPECT_EQ(data.text, "Socket Error: " + std::to_string(net::kNotSocket));

  c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(server.PortText()), Variant::Str(""),
                  Variant::Str("0"), Variant::Str(""), Variant::Str(""));
  EXPECT_EQ(log.Events(), (Events{"maximum 1"}));
  log.Clear();
  Variant result;
  for (int i = 0; i < 2; ++i) {
    c->ConnectToServer(&result);
    EXPECT_EQ(result.vt, kVtInt);
    EXPECT_EQ(result.intValue, 0);
  }
  EXPECT_TRUE(log.Events().empty());  // no event, no reader
  EXPECT_FALSE(c->GetSnapshot().Of(LinkId::Interactive).reading);
  ASSERT_TRUE(server.WaitForConnections(2));
  EXPECT_TRUE(WaitUntil([&] { return server.PeerClosed(0); }));  // replaced

  c->ReceiveData(&data);
  EXPECT_EQ(data.vt, kVtBstr);
  EXPECT_EQ(data.text, "");  // nothing waiting

  ASSERT_TRUE(server.Send(1, std::string("abc\0def", 7)));
  EXPECT_TRUE(WaitUntil([&] {
    c->ReceiveData(&data);
    return !data.text.empty();
  }));
  EXPECT_EQ(data.text, "abc");  // up to the first zero byte

  server.Close(1);
  EXPECT_TRUE(WaitUntil([&] {
    c->ReceiveData(&data);
    return !data.text.empty();
  }));
  EXPECT_EQ(data.text, "Socket Error: -3");
}

// ConnectToServer on a connection that is being read: the new connection is
// read in its place, so the logon response sent on it arrives.
TEST(ScriptPath, ConnectToServerGoesOnReadingOnTheNewConnection) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_TRUE(c);
  ASSERT_EQ(Connect(*c, server.Port()), 0);
  ASSERT_TRUE(server.WaitForConnections(1));
  ASSERT_TRUE(c->GetSnapshot().Of(LinkId::Interactive).reading);

  Variant result;
  c->ConnectToServer(&result);
  EXPECT_EQ(result.vt, kVtInt);
  EXPECT_EQ(result.intValue, 0);
  ASSERT_TRUE(server.WaitForConnections(2));
  EXPECT_TRUE(WaitUntil([&] { return server.PeerClosed(0); }));  // replaced
  ASSERT_TRUE(server.Send(1, Response({"70=10000", "7=after"})));
  EXPECT_TRUE(WaitUntil([&] {
    c->PumpEvents();
    return log.Count("data 7=after") == 1;
  }));
  EXPECT_EQ(log.Events(),
            (Events{"connect true", "auth true|10000|Logon success", "data 7=after"}));
}

TEST(ScriptPath, ConnectToServerOutcomes) {
  LoopbackServer server;
  struct Case {
    const char* what;
    int32_t interactivePort;
    const char* bcastPort;
    int32_t result;
    size_t connections;
  } cases[] = {
      {"refused", RefusedPort(), "0", -1, 0},
      {"broadcast port set: nothing connected", server.Port(), "77", 0, 0},
      {"connected", server.Port(), "0", 0, 1},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Count(-1));
    ASSERT_TRUE(c);
    const size_t before = server.Connections();
    c->setOCDetails(Variant::Str("127.0.0.1"), Variant::Str(std::to_string(test.interactivePort)),
                    Variant::Str("127.0.0.1"), Variant::Str(test.bcastPort), Variant::Str(""),
                    Variant::Str(""));
    Variant result = Variant::Str("junk");
    c->ConnectToServer(&result);
    EXPECT_EQ(result.vt, kVtInt);
    EXPECT_EQ(result.intValue, test.result);
    if (test.connections > 0) {
      EXPECT_TRUE(server.WaitForConnections(before + test.connections));
    } else {
      EXPECT_EQ(server.Connections(), before);
    }
  }
}

}  // namespace
}  // namespace corvane::test
