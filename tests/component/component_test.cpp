// The script interface's argument checks, the reset, credentials, callback
// slots and owner-thread delivery, as a native host drives them.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <poll.h>
#endif

#include <string>
#include <vector>

#include "codec/keys.h"
#include "component/component_methods.h"

namespace corvane {
namespace {

struct Recorded {
  std::string kind;
  std::string text;
  bool operator==(const Recorded&) const = default;
  friend void PrintTo(const Recorded& r, std::ostream* os) {
    *os << r.kind << " \"" << r.text << "\"";
  }
};

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component = CComponentMethods::Create();
    ASSERT_NE(component, nullptr);
  }

  std::shared_ptr<CallbackTarget> Recorder(const std::string& kind) {
    return MakeCallback([this, kind](CComponentMethods& self, const std::string& text) {
      EXPECT_EQ(&self, component.get());
      events.push_back({kind, text});
    });
  }

  // Plain traffic as the interactive (or broadcast) reader would hand it over.
  void FeedPlain(const std::string& body, LinkId id = LinkId::Interactive) {
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    Link& link = component->GetSession().GetLink(id);
    link.SetDataSeen(true);
    link.Receive(static_cast<int32_t>(response.size()),
                 reinterpret_cast<const unsigned char*>(response.data()));
  }

  void PlainSetup() {
    component->setMultiOC(Variant::Bool(false));
    component->setCompression(Variant::Bool(false));
    component->setEncryption(Variant::Bool(false));
    component->putref_handleData(Recorder("data"));
    component->putref_handleAuthentication(Recorder("authentication"));
  }

  std::unique_ptr<CComponentMethods> component;
  std::vector<Recorded> events;
};

TEST_F(ComponentTest, ResetValuesAtConstruction) {
  const auto s = component->GetSnapshot();
  EXPECT_TRUE(s.settings->compression);
  EXPECT_TRUE(s.settings->encryption);
  EXPECT_FALSE(s.settings->multiOC);
  EXPECT_FALSE(s.settings->proxyCredentials);
  EXPECT_EQ(s.Of(LinkId::Interactive).endpoint.port, 0);
  EXPECT_EQ(s.Of(LinkId::Broadcast).endpoint.port, 0);
  EXPECT_EQ(s.Of(LinkId::Interactive).route.proxyEnable, 0);
  EXPECT_EQ(s.settings->reconnectCount, 0);
  EXPECT_EQ(s.settings->keepAliveIntervalMs, 0);
  EXPECT_FALSE(s.loggedOn);
}

// A VT_BOOL argument turns a flag off whatever its value; any other type turns
// it on. By-reference arguments are judged by what they refer to.
TEST_F(ComponentTest, CodecAndMultiFlagsFollowTheArgumentType) {
  const Variant boolTrue = Variant::Bool(true);
  const struct {
    const char* name;
    Variant argument;
    bool expected;
  } cases[] = {
      {"bool true", Variant::Bool(true), false},
      {"bool false", Variant::Bool(false), false},
      {"byref bool", Variant::ByRef(boolTrue), false},
      {"number 1", Variant::I4(1), true},
      {"number 0", Variant::I4(0), true},
      {"string", Variant::Str("false"), true},
      {"empty", Variant::Empty(), true},
      {"double", Variant::R8(0.0), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    component->setMultiOC(c.argument);
    component->setEncryption(c.argument);
    component->setCompression(c.argument);
    const auto s = component->GetSnapshot();
    EXPECT_EQ(s.settings->multiOC, c.expected);
    EXPECT_EQ(s.settings->encryption, c.expected);
    EXPECT_EQ(s.settings->compression, c.expected);
  }
}

TEST_F(ComponentTest, SetMultiOCResetsTheOtherSettingsFirst) {
  component->setCompression(Variant::Bool(false));
  component->setEncryption(Variant::Bool(false));
  component->setTimerDetails(Variant::I4(500), Variant::I4(3));
  component->setKeepAliveTimerDetail(Variant::I4(1000));
  component->SetProxyCredentials(Variant::Str("u"), Variant::Str("p"));
  component->setMultiOC(Variant::I4(1));
  const auto s = component->GetSnapshot();
  EXPECT_TRUE(s.settings->compression);
  EXPECT_TRUE(s.settings->encryption);
  EXPECT_EQ(s.settings->reconnectTimeMs, 0);
  EXPECT_EQ(s.settings->reconnectCount, 0);
  EXPECT_EQ(s.settings->keepAliveIntervalMs, 0);
  EXPECT_FALSE(s.settings->proxyCredentials);
  EXPECT_TRUE(s.settings->multiOC);
  // The reset keeps the credential strings themselves.
  EXPECT_EQ(s.settings->proxyUser.View(), "u");
}

TEST_F(ComponentTest, TimerSettersTakeOnlyFourByteIntegers) {
  const Variant five = Variant::I4(5);
  const struct {
    const char* name;
    Variant time, count;
    int32_t expectedTime, expectedCount;
  } cases[] = {
      {"number and string", Variant::I4(500), Variant::Str("3"), 0, 0},
      {"VT_INT count", Variant::I4(500), Variant::Int(3), 0, 0},
      {"double time", Variant::R8(500), Variant::I4(3), 0, 0},
      {"two numbers", Variant::I4(500), Variant::I4(3), 500, 3},
      {"by reference", Variant::I4(250), Variant::ByRef(five), 250, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    component->setMultiOC(Variant::Bool(false));
    component->setTimerDetails(c.time, c.count);
    EXPECT_EQ(component->GetSnapshot().settings->reconnectTimeMs, c.expectedTime);
    EXPECT_EQ(component->GetSnapshot().settings->reconnectCount, c.expectedCount);
  }
  component->setKeepAliveTimerDetail(Variant::R8(2.5));
  EXPECT_EQ(component->GetSnapshot().settings->keepAliveIntervalMs, 0);
  component->setKeepAliveTimerDetail(Variant::Int(7));
  EXPECT_EQ(component->GetSnapshot().settings->keepAliveIntervalMs, 0);
  component->setKeepAliveTimerDetail(Variant::I4(30000));
  EXPECT_EQ(component->GetSnapshot().settings->keepAliveIntervalMs, 30000);
}

// Basic credentials: user id ":" password in Base64 (RFC 4648 alphabet).
TEST_F(ComponentTest, ProxyCredentialsAndTheAbsentMarker) {
  const struct {
    const char* name;
    Variant uid, pwd;
    const char *expectedUid, *expectedPwd, *expectedAuth;
  } cases[] = {
      {"both given", Variant::Str("Aladdin"), Variant::Str("open sesame"), "Aladdin", "open sesame",
       "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {"absent user id", Variant::Str("-99"), Variant::Str("x"), "", "x", "Ong="},
      {"absent password", Variant::Str("user"), Variant::Str("-99"), "user", "", "dXNlcjo="},
      {"text starting with -99", Variant::Str("-99abc"), Variant::Str("pw"), "", "pw", "OnB3"},
      {"numeric -99", Variant::I4(-99), Variant::Str("pw"), "", "pw", "OnB3"},
      {"-990 is not the marker", Variant::Str("-990"), Variant::Str(""), "-990", "", "LTk5MDo="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    component->SetProxyCredentials(c.uid, c.pwd);
    const auto s = component->GetSnapshot();
    EXPECT_TRUE(s.settings->proxyCredentials);
    EXPECT_EQ(s.settings->proxyUser.View(), c.expectedUid);
    EXPECT_EQ(s.settings->proxyPassword.View(), c.expectedPwd);
    EXPECT_EQ(s.settings->proxyAuth.View(), c.expectedAuth);
  }
}

TEST_F(ComponentTest, SetProxyServerDetailsStoresOnlyTheCredentials) {
  Variant result = Variant::I4(77);
  component->setProxyServerDetails(Variant::Str("10.1.1.1"), Variant::I4(8080), Variant::Str("-99"),
                                   Variant::Str("pw"), &result);
  const auto s = component->GetSnapshot();
  EXPECT_EQ(s.settings->proxyAuth.View(), "OnB3");
  EXPECT_EQ(s.Of(LinkId::Interactive).route.proxyHost, "");
  EXPECT_EQ(s.Of(LinkId::Interactive).route.proxyPort, 0);
  EXPECT_EQ(result.vt, kVtI4);
  EXPECT_EQ(result.intValue, 77);
}

// The transport members refuse (-1) and change nothing unless every
// argument is good; setMultiOC's reset turns TLS off again.
TEST_F(ComponentTest, TransportSecurityArguments) {
  const std::string pin = "sha256/" + std::string(43, 'A') + "=";
  const struct {
    bool pins;  // setServerPins, else setTransportSecurity
    Variant connection, value;
    int32_t result;
    bool interactiveOn, broadcastOn;
    size_t interactivePins, broadcastPins;
  } cases[] = {
      {false, Variant::I4(3), Variant::I4(1), -1, false, false, 0, 0},
      {false, Variant::I4(0), Variant::I4(2), -1, false, false, 0, 0},
      {false, Variant::I4(0), Variant::Bool(true), -1, false, false, 0, 0},
      {false, Variant::Str("2"), Variant::I4(1), 0, false, true, 0, 0},
      {false, Variant::I4(0), Variant::I4(1), 0, true, true, 0, 0},
      {false, Variant::I4(1), Variant::I4(0), 0, false, true, 0, 0},
      {true, Variant::I4(1), Variant::Str(pin + "; sha256/short"), -1, false, true, 0, 0},
      {true, Variant::I4(1), Variant::I4(5), -1, false, true, 0, 0},
      {true, Variant::I4(0), Variant::Str(pin + ", " + pin), 0, false, true, 2, 2},
      {true, Variant::I4(2), Variant::Str(""), 0, false, true, 2, 0},
  };
  for (const auto& c : cases) {
    Variant result;
    if (c.pins)
      component->setServerPins(c.connection, c.value, &result);
    else
      component->setTransportSecurity(c.connection, c.value, &result);
    EXPECT_EQ(result.intValue, c.result);
    const auto s = component->GetSnapshot().settings;
    EXPECT_EQ(s->tls[Index(LinkId::Interactive)].on, c.interactiveOn);
    EXPECT_EQ(s->tls[Index(LinkId::Broadcast)].on, c.broadcastOn);
    EXPECT_EQ(s->tls[Index(LinkId::Interactive)].pins.size(), c.interactivePins);
    EXPECT_EQ(s->tls[Index(LinkId::Broadcast)].pins.size(), c.broadcastPins);
  }
  Variant security = Variant::I4(1);
  component->getTransportSecurity(Variant::I4(2), &security);
  EXPECT_EQ(security.vt, kVtBstr);
  EXPECT_EQ(security.text, "");  // not connected
  component->setMultiOC(Variant::I4(1));
  EXPECT_FALSE(component->GetSnapshot().settings->tls[Index(LinkId::Broadcast)].on);
}

// setConflation's argument rules, and that only the broadcast connection's
// data is conflated; setMultiOC's reset turns it off and clears the count.
TEST_F(ComponentTest, ConflationArgumentsAndConnections) {
  const struct {
    Variant tag, interval;
    int32_t result;
    std::string stored;
  } cases[] = {
      {Variant::Str("55x"), Variant::I4(0), -1, ""},   {Variant::I4(-1), Variant::I4(0), -1, ""},
      {Variant::I4(55), Variant::I4(3600001), -1, ""}, {Variant::I4(55), Variant::R8(2.5), -1, ""},
      {Variant::Bool(true), Variant::I4(0), -1, ""},   {Variant::Str("055"), Variant(), 0, "55"},
      {Variant::I4(0), Variant::I4(0), 0, ""},         {Variant::I2(55), Variant::I4(250), 0, "55"},
  };
  for (const auto& c : cases) {
    Variant result;
    component->setConflation(c.tag, c.interval, &result);
    EXPECT_EQ(result.intValue, c.result);
    EXPECT_EQ(component->GetSnapshot().settings->conflation.tag, c.stored);
  }
  PlainSetup();
  Variant result;
  component->setConflation(Variant::I4(55), Variant::I4(0), &result);
  const std::string feed =
      "\x02"
      "55=A|1\x02"
      "55=A|2";
  FeedPlain(
      "\x02"
      "70=10000" +
          feed,
      LinkId::Interactive);
  FeedPlain(feed, LinkId::Broadcast);
  while (component->PumpEvents() > 0) {
  }
  const std::vector<Recorded> expected = {{"authentication", "true|10000|Logon success"},
                                          {"data", "55=A|1"},
                                          {"data", "55=A|2"},
                                          {"data", "55=A|2"}};
  EXPECT_EQ(events, expected);
  Variant count;
  component->getConflatedCount(&count);
  EXPECT_EQ(count.vt, kVtInt);
  EXPECT_EQ(count.intValue, 1);
  component->setMultiOC(Variant::I4(1));
  component->getConflatedCount(&count);
  EXPECT_EQ(count.intValue, 0);
  EXPECT_FALSE(component->GetSnapshot().settings->conflation.On());
}

TEST_F(ComponentTest, CountersAreStableWithoutTraffic) {
  Variant first, second, requests;
  component->getPacketCount(&first);
  component->getPacketCount(&second);
  component->getRequestCount(&requests);
  EXPECT_EQ(first.vt, kVtInt);
  EXPECT_EQ(first.intValue, 0);
  EXPECT_EQ(second.intValue, first.intValue);
  EXPECT_EQ(requests.vt, kVtInt);
  EXPECT_EQ(requests.intValue, 0);
}

TEST_F(ComponentTest, CallbackSlotsStoreAndReturnTheirTargets) {
  auto target = Recorder("x");
  std::shared_ptr<CallbackTarget> out;
  component->putref_handleBCDisConnect(target);
  component->get_handleBCDisConnect(&out);
  EXPECT_EQ(out, target);
  component->putref_handleBCDisConnect(nullptr);
  component->get_handleBCDisConnect(&out);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(component->FireCallback(nullptr, "true"), -1);
  EXPECT_EQ(component->FireCallback(target, "true"), 0);
  EXPECT_EQ(events, (std::vector<Recorded>{{"x", "true"}}));
}

// Every routed message is delivered exactly once and in order, however many
// are routed before the owner thread handles the first notification.
TEST_F(ComponentTest, EveryMessageOfABlockIsDeliveredOnceInOrder) {
  PlainSetup();
  FeedPlain(
      "\x02"
      "70=10001\x02"
      "70=10000\x02"
      "first\x02"
      "second\x02"
      "third");
  FeedPlain(
      "\x02"
      "fourth");
  EXPECT_TRUE(events.empty()) << "nothing reaches script before the owner thread pumps";
  EXPECT_EQ(component->PumpEvents(), 6);
  EXPECT_EQ(events, (std::vector<Recorded>{
                        {"authentication", "true|10001|Incorrect Client ID/Password"},
                        {"authentication", "true|10000|Logon success"},
                        {"data", "first"},
                        {"data", "second"},
                        {"data", "third"},
                        {"data", "fourth"},
                    }));
  Variant packets;
  component->getPacketCount(&packets);
  EXPECT_EQ(packets.intValue, 6);
}

#ifndef _WIN32
TEST_F(ComponentTest, NotificationWakesTheHostsEventLoop) {
  PlainSetup();
  pollfd fd{static_cast<int>(component->EventWaitHandle()), POLLIN, 0};
  EXPECT_EQ(poll(&fd, 1, 0), 0);
  FeedPlain(
      "\x02"
      "70=10000");
  EXPECT_EQ(poll(&fd, 1, 0), 1);
  component->PumpEvents();
  EXPECT_EQ(poll(&fd, 1, 0), 0);
  EXPECT_EQ(events.size(), 1u);
}
#endif

TEST_F(ComponentTest, AnEmptyOrThrowingSlotDoesNotStopDelivery) {
  PlainSetup();
  component->putref_handleData(nullptr);
  FeedPlain(
      "\x02"
      "70=10000\x02"
      "dropped");
  component->PumpEvents();
  int calls = 0;
  component->putref_handleData(MakeCallback([&](CComponentMethods&, const std::string& text) {
    ++calls;
    if (text == "boom") throw std::runtime_error("script error");
  }));
  FeedPlain(
      "\x02"
      "boom\x02"
      "after");
  component->PumpEvents();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(events, (std::vector<Recorded>{{"authentication", "true|10000|Logon success"}}));
}

TEST_F(ComponentTest, EmptyMessagesAreDeliveredAsEmptyTexts) {
  PlainSetup();
  // A lone STX is one empty message; a doubled STX inside a block is not.
  FeedPlain(
      "\x02"
      "70=10000\x02\x02"
      "x");
  FeedPlain("\x02");
  component->PumpEvents();
  EXPECT_EQ(events,
            (std::vector<Recorded>{
                {"authentication", "true|10000|Logon success"}, {"data", "x"}, {"data", ""}}));
}

}  // namespace
}  // namespace corvane
