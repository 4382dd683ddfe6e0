// Proxy settings parsing: the proxy URL of the environment, the no_proxy list,
// one proxy's address (host, port 1..65535, its kind), per-protocol lists,
// bypass lists and automatic configuration lists.
//
// Input: a proxy URL, an interactive host name, each ended by a zero byte, and
// a no_proxy list (up to the next zero byte).
#include <array>
#include <cctype>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/posix/proxy_environment.h"
#include "platform/proxy_rules.h"
#include "platform/proxy_settings.h"

namespace {

using corvane::fuzz::InputReader;

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A plain lower-case host name: what a no_proxy entry of the same text names.
bool IsPlainName(std::string_view host) {
  if (host.empty() || host.front() == '.') return false;
  for (char c : host) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) return false;
  }
  return true;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// An HTTP proxy's address names a host and a port in range, and reads back
// the same when written as host:port again (an IPv6 host in brackets).
void CheckAddress(std::string_view text) {
  const corvane::ProxyAddress a = corvane::ParseProxyAddress(text);
  if (a.kind != corvane::ProxyAddress::Kind::Http) {
    FUZZ_CHECK(!a.problem.empty() && a.host.empty() && a.port == 0);
    return;
  }
  FUZZ_CHECK(!a.host.empty() && a.port >= 1 && a.port <= 65535);
  const bool v6 = a.host.find(':') != std::string::npos;
  if (v6) {
    std::array<uint8_t, 16> bytes{};
    FUZZ_CHECK(corvane::ParseIPv6(a.host, bytes));
  }
  const std::string again = (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
  if (a.host.find_first_of("/?#@") == std::string::npos && !IsSpace(a.host.front()) &&
      !IsSpace(a.host.back())) {
    const corvane::ProxyAddress b = corvane::ParseProxyAddress(again);
    FUZZ_CHECK(b.kind == a.kind && b.host == a.host && b.port == a.port);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const std::string url(in.Until('\0'));
  const std::string host(in.Until('\0'));
  const std::string list(in.Until('\0'));

  CheckAddress(url);

  const std::string server = corvane::ProxyUrlHostAndPort(url);
  if (!server.empty()) {
    // host:port with nothing of the URL's other parts left.
    FUZZ_CHECK(server.find(':') != std::string::npos && server.front() != ':');
    FUZZ_CHECK(server.find_first_of("/?#@") == std::string::npos);
    if (!IsSpace(server.front()) && !IsSpace(server.back()))
      FUZZ_CHECK(corvane::ProxyUrlHostAndPort(server) == server);
    CheckAddress(server);
  }

  corvane::ProxySettings settings;
  settings.enabled = true;
  settings.server = "left over";
  const bool read =
      corvane::ProxySettingsFromEnvironment(url.c_str(), list.c_str(), host, settings);
  // Only an HTTP proxy is used; another kind leaves the connection direct.
  const std::string scheme = Lower(corvane::ProxyUrlScheme(url));
  const bool httpScheme = scheme.empty() || scheme == "http";
  FUZZ_CHECK(read == (!httpScheme || !server.empty()));
  const bool excluded = corvane::NoProxyExcludes(host, list);
  FUZZ_CHECK(settings.enabled == (httpScheme && read && !excluded));
  FUZZ_CHECK(settings.server == (settings.enabled ? server : std::string()));
  corvane::ProxySettings direct;
  FUZZ_CHECK(corvane::ProxySettingsFromEnvironment(nullptr, list.c_str(), host, direct));
  FUZZ_CHECK(!direct.enabled && direct.server.empty());

  // A list that excludes the host still does with more entries after it; "*"
  // as the whole list excludes every host that is not blank.
  if (excluded && list.find('*') == std::string::npos)
    FUZZ_CHECK(corvane::NoProxyExcludes(host, list + ",other.example"));
  bool blank = true;
  for (char c : host) blank = blank && IsSpace(c);
  FUZZ_CHECK(corvane::NoProxyExcludes(host, "*") == !blank);

  // The selection rules over the same texts: whatever they are given, the
  // HTTP proxy of a list is one of its entries' values (or the whole text).
  bool socksOnly = false;
  const std::string http = corvane::HttpProxyFromList(url, &socksOnly);
  FUZZ_CHECK(!socksOnly || http.empty());
  if (url.find('=') == std::string::npos) FUZZ_CHECK(http == url);
  bool othersOnly = false;
  const auto candidates = corvane::ProxyCandidatesFromList(list, &othersOnly);
  for (const std::string& candidate : candidates)
    FUZZ_CHECK(candidate.find(';') == std::string::npos);
  FUZZ_CHECK(!othersOnly || candidates.empty());
  // Loopback goes direct whatever the list, unless it asks otherwise.
  if (corvane::IsLoopbackName(host) && list.find('<') == std::string::npos)
    FUZZ_CHECK(corvane::ProxyOverrideBypasses(host, list));
  std::array<uint8_t, 16> bytes{};
  (void)corvane::ParseIPv6(host, bytes);
  // A name excludes itself and its sub-domains, not a longer name.
  if (IsPlainName(host)) {
    FUZZ_CHECK(corvane::NoProxyExcludes(host, host));
    FUZZ_CHECK(corvane::NoProxyExcludes("www." + host, "." + host));
    FUZZ_CHECK(!corvane::NoProxyExcludes("x" + host, host));
  }
  return 0;
}
