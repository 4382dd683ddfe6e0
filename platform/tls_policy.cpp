#include "platform/tls_policy.h"

#include <cctype>

namespace corvane {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool HostMatches(std::string_view entry, std::string_view host) {
  if (entry.size() > 2 && entry.substr(0, 2) == "*.") {
    const std::string_view domain = entry.substr(1);  // ".broker.example"
    return host.size() > domain.size() &&
           SameText(host.substr(host.size() - domain.size()), domain);
  }
  return SameText(entry, host);
}

}  // namespace

std::vector<std::string> TlsPolicyEntries(std::string_view list) {
  std::vector<std::string> entries;
  while (!list.empty()) {
    const size_t end = list.find_first_of(",; \t\r\n");
    if (end != 0) entries.emplace_back(list.substr(0, end));
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return entries;
}

bool TlsPolicyNames(const TlsPolicy& policy, std::string_view host, int32_t port) {
  for (std::string_view entry : policy.servers) {
    const size_t colon = entry.rfind(':');
    if (colon != std::string_view::npos && entry.find(':') == colon) {
      // host:port: that port only.
      if (entry.substr(colon + 1) != std::to_string(port)) continue;
      entry = entry.substr(0, colon);
    }
    if (HostMatches(entry, host)) return true;
  }
  return false;
}

}  // namespace corvane
