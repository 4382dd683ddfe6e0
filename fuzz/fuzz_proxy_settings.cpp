// Proxy settings parsing: the proxy URL of the environment, the no_proxy list,
// the split of a "ProxyServer" text into address and port text, per-protocol
// lists, bypass lists and automatic configuration lists.
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

void CheckSplit(std::string_view server) {
  const corvane::ProxyServerParts parts = corvane::SplitProxyServer(server);
  const size_t colon = server.find(':');
  FUZZ_CHECK(parts.address.find(':') == std::string_view::npos);
  FUZZ_CHECK(parts.portText.size() <= 10);
  if (colon == std::string_view::npos) {
    FUZZ_CHECK(parts.address == server);
    FUZZ_CHECK(parts.portText == server.substr(0, 10));
  } else {
    FUZZ_CHECK(parts.address.size() == colon && server.substr(0, colon) == parts.address);
    FUZZ_CHECK(parts.portText == server.substr(colon + 1, 10));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const std::string url(in.Until('\0'));
  const std::string host(in.Until('\0'));
  const std::string list(in.Until('\0'));

  CheckSplit(url);

  const std::string server = corvane::ProxyUrlHostAndPort(url);
  if (!server.empty()) {
    // host:port with nothing of the URL's other parts left.
    FUZZ_CHECK(server.find(':') != std::string::npos && server.front() != ':');
    FUZZ_CHECK(server.find_first_of("/?#@") == std::string::npos);
    if (!IsSpace(server.front()) && !IsSpace(server.back()))
      FUZZ_CHECK(corvane::ProxyUrlHostAndPort(server) == server);
    CheckSplit(server);
  }

  corvane::ProxySettings settings;
  settings.enabled = true;
  settings.server = "left over";
  const bool read =
      corvane::ProxySettingsFromEnvironment(url.c_str(), list.c_str(), host, settings);
  FUZZ_CHECK(read == !server.empty());
  const bool excluded = corvane::NoProxyExcludes(host, list);
  FUZZ_CHECK(settings.enabled == (read && !excluded));
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
  for (const std::string& candidate : corvane::ProxyCandidatesFromList(list))
    FUZZ_CHECK(candidate.find(';') == std::string::npos);
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
