// The administrator's transport policy: servers that are always reached over
// TLS whatever a page sets, whether plain connections are refused
// altogether, and whether the user's own logon may answer a proxy's
// Negotiate or NTLM challenge (integrated authentication, on unless turned
// off).
//
// Windows: the values TlsServers (REG_SZ, entries separated by ';' or
// blanks; REG_MULTI_SZ too) and RefusePlainConnections (REG_DWORD, 1 refuses)
// of HKLM\Software\Policies\Corvane\ComponentMethods in the 64-bit view, beside
// AllowedSites, and DisableIntegratedProxyAuth (REG_DWORD, 1 turns it off).
// POSIX: the environment, CORVANE_TLS_SERVERS (entries separated by ',', ';'
// or blanks), CORVANE_REFUSE_PLAIN (1 refuses) and
// CORVANE_DISABLE_INTEGRATED_PROXY_AUTH (1 turns it off). The bridge's
// configuration file can name its own (tools/bridge/config.h).
//
// An entry is a host ("trade.broker.example", any port), host:port, or a
// pattern "*.broker.example" (its sub-domains, not itself); case does not
// matter; it is matched against the server as the script named it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct TlsPolicy {
  std::vector<std::string> servers;
  bool refusePlain = false;
  bool integratedProxyAuth = true;
};

// Whether the policy names host:port as a server reached over TLS.
bool TlsPolicyNames(const TlsPolicy& policy, std::string_view host, int32_t port);
// The entries of a list text.
std::vector<std::string> TlsPolicyEntries(std::string_view list);

class TlsPolicySource {
 public:
  virtual ~TlsPolicySource() = default;
  // Read before every attempt, so a change takes effect at the next one. A
  // policy that cannot be read is an empty one.
  virtual TlsPolicy Read() = 0;
};

// The system's source for this platform.
std::shared_ptr<TlsPolicySource> SystemTlsPolicySource();

}  // namespace corvane
