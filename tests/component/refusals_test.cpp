// What a page or a configuration must not make the component do: send a
// message that writes lines of its own, connect to the low 16 bits of a port
// out of range, or go directly where the configuration named a proxy it
// cannot use. Each is refused before a byte goes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/component/fixture.h"

namespace corvane::test {
namespace {

using Events = std::vector<std::string>;

// An automatic configuration that names only proxies of other kinds.
class OnlySocks : public ProxySettingsSource {
 public:
  bool Read(const std::string&, ProxySettings& settings) override {
    settings.unusable = "the automatic configuration names no HTTP proxy: SOCKS s:1080";
    return true;
  }
};

TEST(Refusals, AMessageThatEndsALineIsNotSentAndTheConnectionStays) {
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions());
  ASSERT_EQ(Connect(*c, server.Port()), 0);
  ASSERT_TRUE(server.WaitForConnections(1));
  for (const std::string& message : {std::string("1=a\r\nX-Injected: 1"), std::string("1=a\nb"),
                                     std::string("1=a\rb"), std::string("1=a\0b", 5)}) {
    Variant result;
    c->sendRequest(Variant::Str(message), &result);
    EXPECT_EQ(result.intValue, -1);
  }
  Variant result;
  c->sendRequest(Variant::Str("1=ok"), &result);
  EXPECT_EQ(result.intValue, 0);
  ASSERT_TRUE(server.WaitForReceived(0, 1));
  ASSERT_TRUE(WaitUntil([&] { return server.Received(0).find("\r\n\r\n") != std::string::npos; }));
  EXPECT_EQ(server.Received(0).rfind("Get http://127.0.0.1/\x02"
                                     "1=ok HTTP/1.1\r\n",
                                     0),
            0u);
  EXPECT_EQ(server.Received(0).find("Injected"), std::string::npos);
  c->PumpEvents();
  EXPECT_EQ(log.Events(), Events{"connect true"});
  Variant requests;
  c->getRequestCount(&requests);
  EXPECT_EQ(requests.intValue, 1);
}

// Attempts the configuration or the script does not allow fail like a
// refused connect, and reach nobody.
TEST(Refusals, AttemptsThatMayNotBeMadeFail) {
  LoopbackServer server;  // what the low 16 bits of a port out of range reach
  struct Case {
    const char* what;
    std::shared_ptr<ProxySettingsSource> proxy;
    int32_t port;
  } cases[] = {
      {"the server's port past 65535", DirectSource(), server.Port() + 65536},
      {"the proxy's port past 65535",
       std::make_shared<FixedProxySource>(true, true,
                                          "127.0.0.1:" + std::to_string(server.Port() + 65536)),
       4321},
      {"a configuration naming only SOCKS", std::make_shared<OnlySocks>(), server.Port()},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Proxy(test.proxy));
    Variant result;
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(test.port), Variant::I4(0),
                        Variant::I4(1), &result);
    EXPECT_EQ(log.Events(), (Events{"failure 1", "maximum 1"}));
  }
  EXPECT_EQ(server.Connections(), 0u);
}

}  // namespace
}  // namespace corvane::test
