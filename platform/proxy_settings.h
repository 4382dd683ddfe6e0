// Where the user's proxy settings come from.
//
// Windows: the current user's Internet Settings ("ProxyEnable", "ProxyServer").
// POSIX: the conventional environment variables. The component applies the
// same rules to what a source reports.
#pragma once

#include <memory>
#include <string>

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

// The system's source for this platform.
std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource();

}  // namespace corvane
