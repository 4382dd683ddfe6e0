// Proxy settings from the environment, the POSIX counterpart of the browser's
// Internet Settings.
//
// The first of http_proxy, HTTP_PROXY, all_proxy, ALL_PROXY that is set and
// not empty names the proxy as a URL, e.g. "http://user:pw@proxy:3128/". Its
// scheme, user information and path are dropped to leave "host:port"; with no
// port the conventional 1080 is added. no_proxy (or NO_PROXY), a comma or
// space separated list, turns the proxy off for the interactive host when an
// entry matches it: "*" matches every host, "name" matches that name and its
// sub-domains (a leading "." is allowed), "a.b.c.d/n" matches an IPv4 network,
// and a ":port" suffix on an entry is ignored. No variable set means a direct
// connection. A variable whose host part is empty cannot be read.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/proxy_environment.h"
#include "platform/proxy_settings.h"
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
  if (url.find(':') == std::string_view::npos) result += ":1080";
  return result;
}

namespace {

bool MatchesEntry(const std::string& host, std::string_view entry) {
  entry = Trim(entry);
  if (entry.empty()) return false;
  if (entry == "*") return true;
  // An IPv4 network: a.b.c.d/n.
  if (size_t slash = entry.find('/'); slash != std::string_view::npos) {
    uint32_t network = 0;
    uint32_t address = 0;
    std::string_view bitsText = entry.substr(slash + 1);
    if (!ParseDottedIPv4(entry.substr(0, slash), kDottedNetwork, &network) ||
        !ParseDottedIPv4(host, kDottedNetwork, &address) || bitsText.empty() || bitsText.size() > 2)
      return false;
    int bits = 0;
    for (char c : bitsText) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      bits = bits * 10 + (c - '0');
    }
    if (bits > 32) return false;
    uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return (network & mask) == (address & mask);
  }
  if (size_t colon = entry.rfind(':'); colon != std::string_view::npos)
    entry = entry.substr(0, colon);
  while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (entry.empty()) return false;
  std::string name = Lower(entry);
  if (host == name) return true;
  return host.size() > name.size() &&
         host.compare(host.size() - name.size(), name.size(), name) == 0 &&
         host[host.size() - name.size() - 1] == '.';
}

}  // namespace

bool NoProxyExcludes(const std::string& interactiveHost, std::string_view list) {
  std::string host = Lower(Trim(interactiveHost));
  if (host.empty()) return false;
  while (!list.empty()) {
    size_t end = list.find_first_of(", ");
    if (MatchesEntry(host, list.substr(0, end))) return true;
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return false;
}

bool ProxySettingsFromEnvironment(const char* proxy, const char* noProxy,
                                  const std::string& interactiveHost, ProxySettings& settings) {
  settings = ProxySettings{};
  if (proxy == nullptr) return true;  // direct
  std::string server = ProxyUrlHostAndPort(proxy);
  if (server.empty()) return false;
  if (noProxy != nullptr && NoProxyExcludes(interactiveHost, noProxy))
    return true;  // direct for this host
  settings.enabled = true;
  settings.server = std::move(server);
  return true;
}

namespace {

class EnvironmentProxySettingsSource final : public ProxySettingsSource {
 public:
  bool Read(const std::string& interactiveHost, ProxySettings& settings) override {
    return ProxySettingsFromEnvironment(
        FirstSet({"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}),
        FirstSet({"no_proxy", "NO_PROXY"}), interactiveHost, settings);
  }
};

}  // namespace

std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource() {
  return std::make_shared<EnvironmentProxySettingsSource>();
}

}  // namespace corvane
