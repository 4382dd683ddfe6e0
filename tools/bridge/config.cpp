// Bridge settings and checks: see config.h.
#include "tools/bridge/config.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace corvane::bridge {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return out;
}

bool ParsePort(std::string_view text, int32_t* port) {
  if (text.empty() || text.size() > 5) return false;
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535)
    return false;
  *port = value;
  return true;
}

// Splits "host[:port]" or "[v6][:port]"; the host without brackets.
bool SplitHostPort(std::string_view text, std::string_view* host, std::string_view* port) {
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) {
      *port = {};
      return true;
    }
    if (rest.front() != ':') return false;
    *port = rest.substr(1);
    return !port->empty();
  }
  const size_t colon = text.find(':');
  if (colon != text.rfind(':')) return false;  // a bare IPv6 address is ambiguous
  *host = text.substr(0, colon);
  *port = colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
  return colon == std::string_view::npos || !port->empty();
}

}  // namespace

std::optional<ServerAddress> ParseServerAddress(std::string_view text) {
  std::string_view host, port;
  if (!SplitHostPort(text, &host, &port) || host.empty() || port.empty()) return std::nullopt;
  ServerAddress out{Lower(host), 0};
  if (!ParsePort(port, &out.port)) return std::nullopt;
  return out;
}

std::optional<std::string> NormaliseOrigin(std::string_view origin) {
  const size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return std::nullopt;
  std::string_view rest = origin.substr(scheme + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.empty() || rest.find_first_of("/?#@ ") != std::string_view::npos) return std::nullopt;
  std::string_view host, port;
  if (!SplitHostPort(rest, &host, &port) || host.empty()) return std::nullopt;
  int32_t number = 0;
  if (!port.empty() && !ParsePort(port, &number)) return std::nullopt;
  return Lower(origin.substr(0, scheme + 3)) + Lower(rest);
}

bool OriginAllowed(const BridgeConfig& config, std::string_view origin) {
  const auto normal = NormaliseOrigin(origin);
  if (!normal) return false;
  return std::any_of(
      config.allowedOrigins.begin(), config.allowedOrigins.end(),
      [&](const std::string& allowed) { return NormaliseOrigin(allowed) == normal; });
}

bool HostIsLoopback(std::string_view header) {
  std::string_view host, port;
  if (!SplitHostPort(header, &host, &port) || host.empty()) return false;
  int32_t number = 0;
  if (!port.empty() && !ParsePort(port, &number)) return false;
  const std::string name = Lower(host);
  if (name == "localhost" || name == "::1") return true;
  // 127.x.y.z, four decimal parts of at most three digits, each at most 255.
  int parts = 0;
  size_t at = 0;
  int first = -1;
  while (at <= name.size()) {
    size_t dot = name.find('.', at);
    if (dot == std::string::npos) dot = name.size();
    int32_t value = 0;
    const std::string_view part(name.data() + at, dot - at);
    if (part.empty() || part.size() > 3) return false;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc() || end != part.data() + part.size() || value > 255) return false;
    if (parts == 0) first = value;
    ++parts;
    at = dot + 1;
  }
  return parts == 4 && first == 127;
}

bool ServerAllowed(const BridgeConfig& config, const ServerAddress& server) {
  const ServerAddress wanted{Lower(server.host), server.port};
  return std::find(config.allowedServers.begin(), config.allowedServers.end(), wanted) !=
         config.allowedServers.end();
}

std::string ToString(const ServerAddress& server) {
  const bool v6 = server.host.find(':') != std::string::npos;
  return (v6 ? "[" + server.host + "]" : server.host) + ":" + std::to_string(server.port);
}

}  // namespace corvane::bridge
