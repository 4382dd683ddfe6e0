// Where the user's proxy settings come from.
//
// Windows: the current user's Internet Settings ("ProxyEnable", "ProxyServer",
// "ProxyOverride") and, when automatic configuration is on, WinHTTP's answer
// from the PAC file or WPAD. POSIX: the conventional environment variables.
// A source decides, for one server name, whether a proxy is used at all (its
// bypass rules); the component picks the HTTP proxy out of what it reports.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct ProxySettings {
  bool enabled = false;  // "ProxyEnable" first byte non-zero, and not bypassed
  std::string server;    // "ProxyServer" text: host:port or a per-protocol list
  // From automatic configuration: the proxies to try in order (host:port, an
  // empty text for a direct connection). When not empty it stands in place
  // of enabled and server.
  std::vector<std::string> candidates;
  // Automatic configuration answered with proxies of kinds this component
  // does not speak (SOCKS, HTTPS) and nothing else: the reason, for the
  // trace. The attempt then fails: a direct connection is not what the
  // configuration allows.
  std::string unusable;
};

class ProxySettingsSource {
 public:
  virtual ~ProxySettingsSource() = default;
  // False when the settings cannot be read (proxy use is then off).
  // serverHost is the connection's server as the script named it, for the
  // source's bypass rules and automatic configuration.
  virtual bool Read(const std::string& serverHost, ProxySettings& settings) = 0;
};

// The system's source for this platform.
std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource();

}  // namespace corvane
