// The proxy's credentials go to the proxy and nowhere else: not into the
// requests that travel inside the tunnel to the server, not into the debug
// trace, and not kept once the settings are reset.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/component/fixture.h"
#include "tests/component/tinyproxy.h"

namespace corvane::test {
namespace {

using Events = std::vector<std::string>;

#ifndef _WIN32
// Set before any test runs: the trace reads the variable once.
const bool kTraceOn = [] { return setenv("CORVANE_TRACE", "1", 1) == 0; }();
#endif

// The request a server expects for a message, written out by hand.
// target: the server as the request names it (with its port when the proxy
// itself reads the request).
std::string Request(const std::string& message, const std::string& authorization = "",
                    const std::string& target = "127.0.0.1") {
  std::string r = "Get http://" + target + "/\x02" + message +
                  " HTTP/1.1\r\n"
                  "Accept: /*\r\n"
                  "Accept-Language: en-us\r\n"
                  "Accept-Encoding: gzip, deflate\r\n"
                  "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR "
                  "1.0.3705)\r\n";
  if (!authorization.empty()) r += "Proxy-Authorization: Basic " + authorization + "\r\n";
  return r + "Host: " + target + "\r\nConnection: Keep-Alive\r\n\r\n";
}

#ifndef _WIN32
// Every piece of at least four characters of secret found in text.
std::vector<std::string> PiecesIn(const std::string& text, const std::string& secret) {
  std::vector<std::string> found;
  for (size_t at = 0; at + 4 <= secret.size(); ++at) {
    const std::string piece = secret.substr(at, 4);
    if (text.find(piece) != std::string::npos) found.push_back(piece);
  }
  return found;
}

TEST_F(TinyproxyTest, TunnelledRequestsCarryNoProxyCredentials) {
  const std::string password = "Zq7xW9kP2Lm4";
  // Base64 of "corvane:Zq7xW9kP2Lm4" (Python's base64 module).
  const std::string base64 = "Y29ydmFuZTpacTd4VzlrUDJMbTQ=";
  Tinyproxy proxy("corvane", password);
  ASSERT_TRUE(proxy.Ready());
  LoopbackServer server;
  EventLog log;
  auto c = MakeComponent(
      log, ComponentOptions().Proxy(ProxyAt(proxy.Port())).Credentials("corvane", password));
  ASSERT_TRUE(c);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Connect(*c, server.Port()), 0);
  // The proxy took the credentials: the tunnel stands.
  EXPECT_EQ(log.Events(), (Events{"connect true"}));
  ASSERT_TRUE(server.WaitForConnections(1));
  const std::vector<std::string> messages = {"1=logon|2=x", "5=7|8=9", ""};
  std::string expected;
  for (const auto& message : messages) {
    Variant result;
    c->sendRequest(Variant::Str(message), &result);
    EXPECT_EQ(result.intValue, 0);
    expected += Request(message);
  }
  ASSERT_TRUE(server.WaitForReceived(0, expected.size()));
  ASSERT_TRUE(server.Send(0, Response({"70=10000"})));
  EXPECT_TRUE(WaitUntil([&] {
    c->PumpEvents();
    return log.Events().size() >= 2;
  }));
  const std::string trace = testing::internal::GetCapturedStderr();
  const std::string received = server.Received(0);
  // Every byte as the request format has it, without the authorization line.
  EXPECT_EQ(received, expected);
  EXPECT_EQ(received.find("Proxy-Authorization"), std::string::npos);
  EXPECT_EQ(PiecesIn(received, password), std::vector<std::string>{});
  EXPECT_EQ(PiecesIn(received, base64), std::vector<std::string>{});
  EXPECT_EQ(PiecesIn(trace, password), std::vector<std::string>{}) << trace;
  EXPECT_EQ(PiecesIn(trace, base64), std::vector<std::string>{}) << trace;
}

// Refused: the trace names the proxy's status, never the credentials sent.
TEST_F(TinyproxyTest, RefusalTraceHoldsNoCredentials) {
  const std::string password = "Zq7xW9kP2Lm4";
  Tinyproxy proxy("corvane", "other-one");
  ASSERT_TRUE(proxy.Ready());
  EventLog log;
  auto c = MakeComponent(
      log, ComponentOptions().Proxy(ProxyAt(proxy.Port())).Credentials("corvane", password));
  ASSERT_TRUE(c);
  testing::internal::CaptureStderr();
  Connect(*c, 4321);
  const std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.Events(), (Events{"failure 1", "maximum 1"}));
  EXPECT_NE(trace.find("refused the tunnel"), std::string::npos);
  EXPECT_EQ(PiecesIn(trace, password), std::vector<std::string>{}) << trace;
  EXPECT_EQ(PiecesIn(trace, "Y29ydmFuZTpacTd4VzlrUDJMbTQ="), std::vector<std::string>{}) << trace;
}
#endif

// A proxy used without a tunnel (the script's own path: ConnectToServer and
// no SendConnect) reads the request itself: only there does the line go.
// Once the script has sent the CONNECT request, requests go through the
// tunnel and carry no line.
TEST(ProxyCredentials, LineOnlyToTheProxyItself) {
  struct Case {
    const char* what;
    bool credentials;
    bool sendConnect;
    bool line;
  } cases[] = {
      {"no tunnel, credentials", true, false, true},
      {"no tunnel, no credentials", false, false, false},
      {"tunnel asked for by the script", true, true, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    LoopbackServer proxy;
    EventLog log;
    ComponentOptions options;
    options.Count(-1).Proxy(ProxyAt(proxy.Port()));
    if (test.credentials) options.Credentials();
    auto c = MakeComponent(log, options);
    ASSERT_TRUE(c);
    Variant result;
    // A negative count makes no attempt: only the endpoints are stored.
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(4321), Variant::I4(0),
                        Variant::I4(1), &result);
    c->ConnectToServer(&result);
    ASSERT_EQ(result.intValue, 0);
    ASSERT_TRUE(proxy.WaitForConnections(1));
    std::string expected;
    if (test.sendConnect) {
      c->SendConnect(&result);
      ASSERT_TRUE(proxy.WaitForReceived(0, 1));
      ASSERT_TRUE(
          WaitUntil([&] { return proxy.Received(0).find("\r\n\r\n") != std::string::npos; }));
      expected = proxy.Received(0);
    }
    c->sendRequest(Variant::Str("1=2"), &result);
    EXPECT_EQ(result.intValue, 0);
    // The proxy itself reads a request sent without a tunnel: it is told the
    // server's port too.
    expected += Request("1=2", test.line ? "dXNlcjpwYXNz" : "",
                        test.sendConnect ? "127.0.0.1" : "127.0.0.1:4321");
    ASSERT_TRUE(proxy.WaitForReceived(0, expected.size()));
    EXPECT_EQ(proxy.Received(0), expected);
  }
}

// The reset (setMultiOC) switches the credentials off and overwrites the
// stored password and its Base64 form; the user id stays.
TEST(ProxyCredentials, ResetClearsTheStoredForms) {
  EventLog log;
  auto c = MakeComponent(log, ComponentOptions().Credentials("someone", "pw"));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->GetSnapshot().settings->proxyAuth.View(), "c29tZW9uZTpwdw==");
  c->setMultiOC(Variant::Bool(false));
  const auto s = c->GetSnapshot();
  EXPECT_FALSE(s.settings->proxyCredentials);
  EXPECT_EQ(s.settings->proxyAuth.View(), "");
  EXPECT_EQ(s.settings->proxyPassword.View(), "");
  EXPECT_EQ(s.settings->proxyUser.View(), "someone");
}

}  // namespace
}  // namespace corvane::test
