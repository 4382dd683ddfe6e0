// Proxy settings from the environment, the POSIX counterpart of the browser's
// Internet Settings.
//
// The first of http_proxy, HTTP_PROXY, all_proxy, ALL_PROXY that is set and
// not empty names the proxy as a URL, e.g. "http://user:pw@proxy:3128/". Its
// scheme, user information and path are dropped to leave "host:port"; with no
// port the conventional 1080 is added. Only an http:// URL (or one without a
// scheme) names a proxy this component speaks to: another kind (socks5://,
// https://) is left unused, with a trace line, and the connection is direct. The lowercase names
// are looked at first, as curl does: http_proxy is the one that no CGI environment can set from a
// request header (a web server turns a "Proxy:" header into HTTP_PROXY), so it is the one to trust.
// no_proxy (or NO_PROXY) turns the proxy off for a server it names (NoProxyExcludes), checked
// against the name the script gave on every attempt. No variable set means a direct connection. A
// variable whose host part is empty cannot be read.
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/proxy_environment.h"
#include "platform/proxy_rules.h"
#include "platform/proxy_settings.h"
#include "platform/trace.h"
#include "protocol/numbers.h"

namespace corvane {
namespace {

const char* FirstSet(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

}  // namespace

std::string ProxyUrlHostAndPort(std::string_view url) {
  url = Trim(url);
  if (size_t scheme = url.find("://"); scheme != std::string_view::npos)
    url.remove_prefix(scheme + 3);
  if (size_t end = url.find_first_of("/?#"); end != std::string_view::npos)
    url = url.substr(0, end);
  if (size_t at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
  if (url.empty() || url.front() == ':') return std::string();
  std::string result(url);
  // An IPv6 address's own colons are inside its brackets.
  const size_t close = url.front() == '[' ? url.find(']') : 0;
  if (close == std::string_view::npos) return std::string();
  if (url.find(':', close) == std::string_view::npos) result += ":1080";
  return result;
}

std::string_view ProxyUrlScheme(std::string_view url) {
  url = Trim(url);
  const size_t scheme = url.find("://");
  return scheme == std::string_view::npos ? std::string_view() : url.substr(0, scheme);
}

namespace {

// A host or an entry as an address: family 4 or 6 (0: a name), its bytes.
struct Address {
  int family = 0;
  std::array<uint8_t, 16> bytes{};
};

Address ReadAddress(std::string_view text) {
  Address a;
  uint32_t v4 = 0;
  if (ParseDottedIPv4(text, kDottedNetwork, &v4)) {
    a.family = 4;
    for (int i = 0; i < 4; ++i) a.bytes[i] = static_cast<uint8_t>(v4 >> (24 - 8 * i));
  } else if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    if (ParseIPv6(text.substr(1, text.size() - 2), a.bytes)) a.family = 6;
  } else if (ParseIPv6(text, a.bytes)) {
    a.family = 6;
  }
  return a;
}

// The first bits of both addresses agree.
bool SamePrefix(const Address& a, const Address& b, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const int n = bits >= 8 ? 8 : bits;
    const auto mask = static_cast<uint8_t>(0xFF00u >> n);
    if ((a.bytes[i] & mask) != (b.bytes[i] & mask)) return false;
  }
  return true;
}

bool MatchesEntry(const std::string& host, const Address& hostAddress, std::string_view entry) {
  entry = Trim(entry);
  if (entry.empty()) return false;
  // An address or a network: a.b.c.d, a.b.c.d/n, an IPv6 address (bracketed
  // or not), an IPv6 network x::y/n. Only an address matches it.
  if (size_t slash = entry.find('/'); slash != std::string_view::npos) {
    const Address network = ReadAddress(entry.substr(0, slash));
    const std::string_view bitsText = entry.substr(slash + 1);
    if (network.family == 0 || network.family != hostAddress.family || bitsText.empty() ||
        bitsText.size() > 3)
      return false;
    int bits = 0;
    for (char c : bitsText) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      bits = bits * 10 + (c - '0');
    }
    if (bits > (network.family == 4 ? 32 : 128)) return false;
    return SamePrefix(network, hostAddress, bits);
  }
  if (const Address address = ReadAddress(entry); address.family != 0)
    return address.family == hostAddress.family && address.bytes == hostAddress.bytes;
  // A name, perhaps with a ":port" that does not count.
  if (size_t colon = entry.find(':'); colon != std::string_view::npos) {
    if (entry.find(':', colon + 1) != std::string_view::npos) return false;
    entry = entry.substr(0, colon);
  }
  while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  while (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
  if (entry.empty()) return false;
  const std::string name = Lower(entry);
  if (host == name) return true;
  // A sub-domain, on a label boundary: "example.com" matches
  // "www.example.com", not "badexample.com".
  return host.size() > name.size() &&
         host.compare(host.size() - name.size(), name.size(), name) == 0 &&
         host[host.size() - name.size() - 1] == '.';
}

}  // namespace

bool NoProxyExcludes(const std::string& serverHost, std::string_view list) {
  std::string host = Lower(Trim(serverHost));
  if (host.empty()) return false;
  // "*" matches every host, but only as the whole list.
  if (Trim(list) == "*") return true;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return false;
  const Address hostAddress = ReadAddress(host);
  while (!list.empty()) {
    const size_t end = list.find_first_of(", \t");
    if (MatchesEntry(host, hostAddress, list.substr(0, end))) return true;
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return false;
}

bool ProxySettingsFromEnvironment(const char* proxy, const char* noProxy,
                                  const std::string& serverHost, ProxySettings& settings) {
  settings = ProxySettings{};
  if (proxy == nullptr) return true;  // direct
  const std::string scheme = Lower(ProxyUrlScheme(proxy));
  if (!scheme.empty() && scheme != "http") {
    DebugTrace(
        "ReadProxySettings - the environment names a %s proxy, not HTTP: connecting "
        "directly\n",
        scheme.substr(0, 20).c_str());
    return true;
  }
  std::string server = ProxyUrlHostAndPort(proxy);
  if (server.empty()) return false;
  if (noProxy != nullptr && NoProxyExcludes(serverHost, noProxy))
    return true;  // direct for this host
  settings.enabled = true;
  settings.server = std::move(server);
  return true;
}

namespace {

class EnvironmentProxySettingsSource final : public ProxySettingsSource {
 public:
  bool Read(const std::string& serverHost, ProxySettings& settings) override {
    return ProxySettingsFromEnvironment(
        FirstSet({"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}),
        FirstSet({"no_proxy", "NO_PROXY"}), serverHost, settings);
  }
};

}  // namespace

std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource() {
  return std::make_shared<EnvironmentProxySettingsSource>();
}

}  // namespace corvane
