// The rules that pick a proxy for a server out of the user's configuration:
// per-protocol "ProxyServer" lists, "ProxyOverride" bypass lists, the lists
// an automatic configuration gives, curl's no_proxy, and IPv6 address text
// (checked against the system's inet_pton).
#include "platform/proxy_rules.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>

#include "platform/posix/proxy_environment.h"
#endif

namespace corvane::test {
namespace {

TEST(HttpProxyFromList, PerProtocolEntries) {
  struct Case {
    const char* text;
    std::string proxy;
    bool socksOnly;
  } cases[] = {
      {"proxy:8080", "proxy:8080", false},
      {"", "", false},
      // No '=': one proxy for all protocols, today's rule on the whole text.
      {"proxy:8080;other:1", "proxy:8080;other:1", false},
      {"http=proxy:8080;https=proxy:8443", "proxy:8080", false},
      {"https=secure:8443;http=plain:8080", "plain:8080", false},
      {"http=a:1;http=b:2", "a:1", false},
      {"HTTP=Upper:3128", "Upper:3128", false},
      {"  http=spaced:1  ftp=f:21 ", "spaced:1", false},
      {"ftp=f:21;fallback:3128", "fallback:3128", false},
      {"https=secure:8443", "", false},
      {"socks=socks:1080", "", true},
      {"socks=socks:1080;https=s:443", "", true},
      {"http=;fallback:1", "fallback:1", false},
      {"http=http://proxy:8080/", "proxy:8080", false},
      {";;;", ";;;", false},
      {"=;=", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    bool socksOnly = !c.socksOnly;
    EXPECT_EQ(HttpProxyFromList(c.text, &socksOnly), c.proxy);
    EXPECT_EQ(socksOnly, c.socksOnly);
  }
}

TEST(ProxyOverride, BypassList) {
  struct Case {
    const char* host;
    const char* list;
    bool bypass;
  } cases[] = {
      {"server.corp.example", "", false},
      {"server.corp.example", "*.corp.example", true},
      {"SERVER.Corp.Example", "*.CORP.example", true},
      {"corp.example", "*.corp.example", false},
      {"server.corp.example.evil", "*.corp.example", false},
      {"10.1.2.3", "10.*", true},
      {"110.1.2.3", "10.*", false},
      {"intranet", "<local>", true},
      {"intranet.corp", "<local>", false},
      {"fe80::1", "<local>", false},
      {"b.example", "a.example; b.example", true},
      {"b.example", "a.example b.example", true},
      {"b.example", "a.example;;b.example;", true},
      {"app7.example", "app?.example", false},
      {"app7.example", "app*.example", true},
      {"anything", "*", true},
      {"x.example", "http://x.example", true},
      // Loopback is always direct, unless "<-loopback>" says otherwise.
      {"localhost", "", true},
      {"LOCALHOST", "", true},
      {"127.0.0.1", "", true},
      {"127.9.8.7", "", true},
      {"::1", "", true},
      {"[::1]", "", true},
      {"0:0:0:0:0:0:0:1", "", true},
      {"localhost", "<-loopback>", false},
      {"127.0.0.1", "a.example;<-loopback>", false},
      {"127.0.0.1", "<-loopback>;127.*", true},
      {"128.0.0.1", "", false},
      {"localhost.example", "", false},
      {"", "*", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " / " + c.list);
    EXPECT_EQ(ProxyOverrideBypasses(c.host, c.list), c.bypass);
  }
}

TEST(ProxyCandidates, AutomaticConfigurationLists) {
  struct Case {
    const char* list;
    std::vector<std::string> candidates;
    bool othersOnly;
  } cases[] = {
      {"PROXY a:8080; PROXY b:8080; DIRECT", {"a:8080", "b:8080", ""}, false},
      {"DIRECT", {""}, false},
      {"proxy a:1;direct", {"a:1", ""}, false},
      {"SOCKS s:1080; PROXY a:1", {"a:1"}, false},
      {"HTTPS secure:443; HTTP h:80", {"h:80"}, false},
      {"SOCKS5 s:1080; HTTPS secure:443", {}, true},
      {"a:1;b:2", {"a:1", "b:2"}, false},
      {"a:1 b:2", {"a:1", "b:2"}, false},
      {"http=a:1 https=b:2", {"a:1"}, false},
      {"https=b:2", {}, true},
      {"", {}, false},
      {" ; ;", {}, false},
      {"PROXY", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    bool othersOnly = !c.othersOnly;
    EXPECT_EQ(ProxyCandidatesFromList(c.list, &othersOnly), c.candidates);
    EXPECT_EQ(othersOnly, c.othersOnly);
  }
}

// One proxy's address: only plain HTTP proxies, a port from 1 to 65535 (never
// cut to 16 bits), an IPv6 address split at its brackets.
TEST(ParseProxyAddress, HostPortAndKind) {
  using Kind = ProxyAddress::Kind;
  struct Case {
    const char* text;
    Kind kind;
    const char* host;
    int32_t port;
  } cases[] = {
      {"proxy:8080", Kind::Http, "proxy", 8080},
      {"http://proxy:8080", Kind::Http, "proxy", 8080},
      {"HTTP://user@proxy:3128/pac", Kind::Http, "proxy", 3128},
      {"[::1]:3128", Kind::Http, "::1", 3128},
      {"[2001:db8::7]:80", Kind::Http, "2001:db8::7", 80},
      {"socks5://s:1080", Kind::OtherKind, "", 0},
      {"https://p:443", Kind::OtherKind, "", 0},
      {"proxy:70000", Kind::Invalid, "", 0},
      {"proxy:0", Kind::Invalid, "", 0},
      {"proxy:80x", Kind::Invalid, "", 0},
      {"proxy", Kind::Invalid, "", 0},
      {"::1:3128", Kind::Invalid, "", 0},
      {"[::1", Kind::Invalid, "", 0},
      {"[proxy]:80", Kind::Invalid, "", 0},
      {":8080", Kind::Invalid, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ProxyAddress a = ParseProxyAddress(c.text);
    EXPECT_EQ(a.kind, c.kind);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.problem.empty(), c.kind == Kind::Http);
  }
}

#ifndef _WIN32
// The system's own reading of IPv6 text is the reference.
TEST(ParseIPv6, AgreesWithInetPton) {
  const char* texts[] = {
      "::",
      "::1",
      "1::",
      "1:2:3:4:5:6:7:8",
      "1:2:3:4:5:6:7::",
      "::2:3:4:5:6:7:8",
      "fe80::1:2",
      "FFFF::",
      "::ffff:1.2.3.4",
      "64:ff9b::192.0.2.33",
      "1:2:3:4:5:6:1.2.3.4",
      "1:2:3:4:5:6:7:8:9",
      "1::2::3",
      ":1::",
      "1:::2",
      "12345::",
      "1:2:3:4:5:6:7",
      "g::",
      "::1.2.3",
      "::1.2.3.4:5",
      "1:2:3:4:5:6:7:1.2.3.4",
      "",
      ":",
      "1:",
      "::256.1.1.1",
      "[::1]",
      "1:2:3:4:5:6:7:8::",
      "0000:0000::00001",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    unsigned char expected[16] = {};
    const bool valid = inet_pton(AF_INET6, text, expected) == 1;
    std::array<uint8_t, 16> bytes{};
    EXPECT_EQ(ParseIPv6(text, bytes), valid);
    if (valid) {
      EXPECT_EQ(std::memcmp(bytes.data(), expected, 16), 0);
    }
  }
}

// curl's no_proxy rules.
TEST(NoProxy, CurlRules) {
  struct Case {
    const char* host;
    const char* list;
    bool excluded;
  } cases[] = {
      {"anything.example", "*", true},
      {"anything.example", " * ", true},
      {"anything.example", "a.example,*", false},
      {"example.com", "example.com", true},
      {"www.example.com", "example.com", true},
      {"a.b.example.com", "example.com", true},
      {"notexample.com", "example.com", false},
      {"example.com.evil", "example.com", false},
      {"www.example.com", ".example.com", true},
      {"example.com", ".example.com", true},
      {"example.com", "..example.com", true},
      {"WWW.Example.COM", "example.com", true},
      {"www.example.com", "EXAMPLE.com", true},
      {"www.example.com.", "example.com", true},
      {"b.example", "a.example,b.example", true},
      {"b.example", "a.example b.example", true},
      {"b.example", "a.example, b.example", true},
      {"b.example", "a.example,,b.example", true},
      {"b.example", "a.example\tb.example", true},
      {"b.example", "b.example:8080", true},
      {"10.1.2.3", "10.1.2.3", true},
      {"10.1.2.3", "10.1.2.4", false},
      {"10.1.2.3", "10.0.0.0/8", true},
      {"11.1.2.3", "10.0.0.0/8", false},
      {"10.1.2.3", "10.1.2.3/32", true},
      {"10.1.2.3", "0.0.0.0/0", true},
      {"10.1.2.3", "10.1.2.0/33", false},
      {"10.1.2.3", "10.", false},
      {"10.example", "10.0.0.0/8", false},
      {"::1", "::1", true},
      {"[::1]", "::1", true},
      {"::1", "[::1]", true},
      {"2001:db8::5", "2001:db8::/32", true},
      {"2001:db9::5", "2001:db8::/32", false},
      {"2001:db8::5", "2001:db8::5/128", true},
      {"2001:db8::5", "2001:0DB8:0::5", true},
      {"2001:db8::5", "2001:db8::/129", false},
      {"10.1.2.3", "::/0", false},
      {"::ffff:10.1.2.3", "10.0.0.0/8", false},
      {"localhost", "127.0.0.1", false},
      {"", "*", false},
      {"  ", "*", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " / " + c.list);
    EXPECT_EQ(NoProxyExcludes(c.host, c.list), c.excluded);
  }
}
#endif

}  // namespace
}  // namespace corvane::test
