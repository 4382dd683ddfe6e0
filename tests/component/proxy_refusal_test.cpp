// What the proxy answers to the tunnel request decides the attempt: a
// refusal (tinyproxy's 407 for wrong credentials, its 403 from a filter, a
// fake proxy's answers) fails it with the script's failure events; an accepted
// tunnel gives the server's bytes that follow the answer to the receive side
// untouched. And how the settings choose a proxy per server: per-protocol
// lists, an automatic configuration's list tried in order, the environment's
// exclusions by the name the script gave on every attempt.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/component/fixture.h"
#include "tests/component/tinyproxy.h"
#include "tests/platform/proxy_environment_scope.h"

namespace corvane::test {
namespace {

using Events = std::vector<std::string>;

#ifndef _WIN32
// Set before any test runs: the trace reads the variable once.
const bool kTraceOn = [] { return setenv("CORVANE_TRACE", "1", 1) == 0; }();
#endif

// Reports an automatic configuration's list of proxies.
class CandidateSource : public ProxySettingsSource {
 public:
  explicit CandidateSource(std::vector<std::string> candidates)
      : m_candidates(std::move(candidates)) {}
  bool Read(const std::string& /*serverHost*/, ProxySettings& settings) override {
    settings.candidates = m_candidates;
    return true;
  }

 private:
  std::vector<std::string> m_candidates;
};

void PlainCodecs(CComponentMethods& c) {
  c.setCompression(Variant::Bool(false));
  c.setEncryption(Variant::Bool(false));
}

bool PumpUntil(CComponentMethods& c, EventLog& log, size_t events) {
  return WaitUntil([&] {
    c.PumpEvents();
    return log.Events().size() >= events;
  });
}

// Answers that refuse the tunnel or never make one fail the attempt; each
// attempt of the sequence is refused again, so the script sees every failure
// and then the maximum event, and never "true".
TEST(TunnelAnswer, RefusalsFailTheAttempt) {
  struct Case {
    const char* what;
    std::string answer;
    std::string traced;
  } cases[] = {
      {"407 with a body",
       "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 5\r\n\r\nnope!",
       "HTTP/1.1 407 Proxy Authentication Required"},
      {"403", "HTTP/1.0 403 Filtered\r\n\r\n", "HTTP/1.0 403 Filtered"},
      {"502", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 502 Bad Gateway"},
      {"2000 is not 200", "HTTP/1.1 2000 Odd\r\n\r\n", "HTTP/1.1 2000 Odd"},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", "SSH-2.0-OpenSSH"},
      {"answer cut short, then silence", "HTTP/1.1 200 Connection est", "no answer"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    LoopbackServer proxy;
    proxy.AnswerTunnels(test.answer);
    EventLog log;
    auto c =
        MakeComponent(log, ComponentOptions().Count(1).Proxy(ProxyAt(proxy.Port())).Credentials());
    ASSERT_TRUE(c);
    c->GetSession().Core().tunnelAnswerWaitMs.store(test.traced == "no answer" ? 300 : 10000);
#ifndef _WIN32
    testing::internal::CaptureStderr();
#endif
    EXPECT_EQ(Connect(*c, 4321), 0);
#ifndef _WIN32
    const std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find(test.traced), std::string::npos) << trace;
#endif
    EXPECT_EQ(log.Events(), (Events{"failure 1", "failure 1", "maximum 1"}));
    EXPECT_EQ(proxy.Connections(), 2u);
  }
}

// The answer and the server's first response in one segment: the attempt
// takes the answer's bytes and not one more, so the response is delivered.
TEST(TunnelAnswer, TheServersBytesAfterTheAnswerAreKept) {
  for (const std::string status : {"HTTP/1.1 200 Connection established", "HTTP/1.0 200 OK"}) {
    SCOPED_TRACE(status);
    LoopbackServer proxy;
    proxy.AnswerTunnels(status + "\r\nProxy-agent: fake\r\n\r\n" +
                        Response({"70=10000", "1=quote"}));
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Proxy(ProxyAt(proxy.Port())).Credentials());
    ASSERT_TRUE(c);
    PlainCodecs(*c);
    EXPECT_EQ(Connect(*c, 4321), 0);
    EXPECT_TRUE(PumpUntil(*c, log, 3));
    EXPECT_EQ(log.Events(),
              (Events{"connect true", "auth true|10000|Logon success", "data 1=quote"}));
  }
}

#ifndef _WIN32
// A real proxy's refusals: wrong credentials and a filter that refuses the
// server (403). For wrong credentials on a CONNECT tinyproxy 1.11 answers
// 401 where a 407 is the rule; either is a refusal, with a body to drop.
// The server never hears of the attempts.
TEST_F(TinyproxyTest, RefusedTunnelsFailTheirAttempts) {
  struct Case {
    const char* what;
    std::string password;
    std::string filter;
    std::vector<std::string> statuses;
  } cases[] = {
      {"wrong password", "wrong", "", {" 401 ", " 407 "}},
      {"filtered server", "s3cret", "127\\.0\\.0\\.1", {" 403 "}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    Tinyproxy proxy("corvane", "s3cret", test.filter);
    ASSERT_TRUE(proxy.Ready());
    LoopbackServer server;
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions()
                                    .Count(1)
                                    .Proxy(ProxyAt(proxy.Port()))
                                    .Credentials("corvane", test.password));
    ASSERT_TRUE(c);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Connect(*c, server.Port()), 0);
    const std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.Events(), (Events{"failure 1", "failure 1", "maximum 1"}));
    EXPECT_NE(trace.find("ConnectSocket - the proxy refused the tunnel: HTTP/1."),
              std::string::npos)
        << trace;
    bool traced = false;
    for (const auto& status : test.statuses)
      traced = traced || trace.find(status) != std::string::npos;
    EXPECT_TRUE(traced) << trace;
    EXPECT_EQ(server.Connections(), 0u);
  }
}
#endif

// An automatic configuration's list is tried in order, one entry per attempt:
// a proxy that refuses connections fails the first attempt, the next entry
// (a proxy, or DIRECT) makes the second.
TEST(ProxyCandidates, TriedInOrderAcrossAttempts) {
  LoopbackServer proxy;
  proxy.AnswerTunnels();
  LoopbackServer server;
  const std::string refused = "127.0.0.1:" + std::to_string(RefusedPort());
  struct Case {
    const char* what;
    std::vector<std::string> candidates;
    bool viaProxy;
  } cases[] = {
      {"PROXY dead; PROXY good", {refused, "127.0.0.1:" + proxy.PortText()}, true},
      {"PROXY dead; DIRECT", {refused, ""}, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const size_t proxyBefore = proxy.Connections();
    const size_t serverBefore = server.Connections();
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Count(2).Credentials().Proxy(
                                    std::make_shared<CandidateSource>(test.candidates)));
    ASSERT_TRUE(c);
    EXPECT_EQ(Connect(*c, server.Port()), 0);
    EXPECT_EQ(log.Events(), (Events{"failure 1", "connect true"}));
    if (test.viaProxy) {
      EXPECT_TRUE(proxy.WaitForConnections(proxyBefore + 1));
      EXPECT_TRUE(proxy.WaitForReceived(proxyBefore, 8));
      EXPECT_EQ(proxy.Received(proxyBefore).rfind("CONNECT 127.0.0.1:" + server.PortText(), 0), 0u);
    } else {
      EXPECT_TRUE(server.WaitForConnections(serverBefore + 1));
      EXPECT_EQ(proxy.Connections(), proxyBefore);
    }
  }
}

// Per-protocol "ProxyServer" lists as Internet Settings writes them: the
// http= entry serves the component, else an entry without a scheme; https=
// and socks= alone leave no HTTP proxy (a direct connection).
TEST(ProxyServerList, ChoosesTheHttpEntry) {
  LoopbackServer proxy;
  LoopbackServer server;
  const std::string p = proxy.PortText();
  struct Case {
    const char* what;
    std::string text;
    bool viaProxy;
  } cases[] = {
      {"http= among others", "ftp=127.0.0.1:1;http=127.0.0.1:" + p + ";https=127.0.0.1:2", true},
      {"blank separated, scheme in capitals", "HTTPS=127.0.0.1:2 HTTP=127.0.0.1:" + p, true},
      {"entry without a scheme", "https=127.0.0.1:2;127.0.0.1:" + p, true},
      {"value as a URL", "http=http://127.0.0.1:" + p + "/", true},
      {"https= only", "https=127.0.0.1:" + p, false},
      {"socks= only", "socks=127.0.0.1:" + p, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Count(-1).Proxy(
                                    std::make_shared<FixedProxySource>(true, true, test.text)));
    ASSERT_TRUE(c);
    Variant result;
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(server.Port()), Variant::I4(0),
                        Variant::I4(1), &result);
    const size_t proxyBefore = proxy.Connections();
    const size_t serverBefore = server.Connections();
    c->ConnectToServer(&result);
    EXPECT_EQ(result.intValue, 0);
    EXPECT_EQ(c->GetSnapshot().Of(LinkId::Interactive).route.proxyEnable, test.viaProxy ? 1 : 0);
    if (test.viaProxy) {
      EXPECT_EQ(c->GetSnapshot().Of(LinkId::Interactive).route.proxyPort, proxy.Port());
      EXPECT_TRUE(proxy.WaitForConnections(proxyBefore + 1));
    } else {
      EXPECT_TRUE(server.WaitForConnections(serverBefore + 1));
    }
  }
}

// Each connection asks about its own server, by the name the script gave:
// the broadcast connection about the broadcast address as written (here in a
// form only inet_addr reads), not about the interactive server or the
// address the interactive name resolved to.
TEST(ProxySettingsSource, AskedPerConnectionByTheScriptsName) {
  LoopbackServer interactive;
  LoopbackServer broadcast;
  EventLog log;
  auto source = DirectSource();
  auto c = MakeComponent(log, ComponentOptions().Multi().Proxy(source));
  ASSERT_TRUE(c);
  c->setOCDetails(Variant::Str("localhost"), Variant::Str(interactive.PortText()),
                  Variant::Str("127.000.000.001"), Variant::Str(broadcast.PortText()),
                  Variant::Str(""), Variant::Str(""));
  EXPECT_EQ(log.Events(), (Events{"connect true", "connect true"}));
  EXPECT_EQ(source->Hosts(), (std::vector<std::string>{"localhost", "127.000.000.001"}));
}

#ifndef _WIN32
// no_proxy names the server as the script gave it; the first direct attempt
// resolves that name, and later attempts are still matched by the name, not
// by the address it gave.
TEST(ProxyEnvironmentSource, ExclusionByNameOnEveryAttempt) {
  LoopbackServer proxy;
  proxy.AnswerTunnels();
  LoopbackServer server;
  ProxyEnvironment scope(
      {{"http_proxy", "http://127.0.0.1:" + proxy.PortText()}, {"no_proxy", ".LOCALHOST"}});
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Proxy(SystemProxySettingsSource()).Credentials());
  ASSERT_TRUE(c);
  Variant result;
  c->SetServerDetails(Variant::Str("localhost"), Variant::I4(server.Port()), Variant::I4(0),
                      Variant::I4(0), &result);
  EXPECT_EQ(log.Events(), (Events{"connect true"}));
  EXPECT_EQ(c->GetSnapshot().Of(LinkId::Interactive).endpoint.Host(), "127.0.0.1");
  for (int attempt = 0; attempt < 2; ++attempt) {
    c->ConnectToServer(&result);
    EXPECT_EQ(result.intValue, 0);
  }
  EXPECT_TRUE(server.WaitForConnections(3));
  EXPECT_EQ(proxy.Connections(), 0u);
  EXPECT_EQ(c->GetSnapshot().Of(LinkId::Interactive).route.proxyEnable, 0);
}
#endif

}  // namespace
}  // namespace corvane::test
