// Where the user's proxy settings come from.
//
// Windows: the current user's Internet Settings ("ProxyEnable", "ProxyServer").
// POSIX: the conventional environment variables. The component applies the
// same rules to what a source reports.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace corvane {

struct ProxySettings {
  bool enabled = false;  // "ProxyEnable" first byte non-zero
  std::string server;    // "ProxyServer" text, host:port
};

class ProxySettingsSource {
 public:
  virtual ~ProxySettingsSource() = default;
  // False when the settings cannot be read (proxy use is then off).
  // interactiveHost lets a source honour its own exclusion list.
  virtual bool Read(const std::string& interactiveHost, ProxySettings& settings) = 0;
};

// A "ProxyServer" text split at its first ':' into the address before it and
// the port text, the at most 10 characters after it. A text without ':' is all
// address, and its first 10 characters are the port text. Per-protocol lists
// ("http=host:port;...") are not recognised: the address is what precedes the
// first ':' whatever it is.
struct ProxyServerParts {
  std::string_view address;
  std::string_view portText;
};
inline ProxyServerParts SplitProxyServer(std::string_view server) {
  constexpr size_t kPortTextMax = 10;
  const size_t colon = server.find(':');
  if (colon == std::string_view::npos) return {server, server.substr(0, kPortTextMax)};
  return {server.substr(0, colon), server.substr(colon + 1, kPortTextMax)};
}

// The system's source for this platform.
std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource();

}  // namespace corvane
