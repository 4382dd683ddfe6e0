// The transport policy from the registry (see tls_policy.h): TlsServers,
// RefusePlainConnections and DisableIntegratedProxyAuth of the policy key, read in the 64-bit view
// from both DLLs, as AllowedSites is. No key or no value: no entry, plain connections allowed. A
// value of another type, or one that cannot be read, counts as absent.
#include <memory>

#include "platform/tls_policy.h"
#include "platform/win32/policy_registry.h"

namespace corvane {
namespace {

class RegistryTlsPolicySource final : public TlsPolicySource {
 public:
  TlsPolicy Read() override {
    TlsPolicy policy;
    const win32::PolicyList servers = win32::ReadPolicyList(L"TlsServers");
    if (servers.state == win32::PolicyList::State::kRead)
      policy.servers = TlsPolicyEntries(servers.text);
    policy.refusePlain = win32::ReadPolicyDword(L"RefusePlainConnections") == 1u;
    policy.integratedProxyAuth = win32::ReadPolicyDword(L"DisableIntegratedProxyAuth") != 1u;
    return policy;
  }
};

}  // namespace

std::shared_ptr<TlsPolicySource> SystemTlsPolicySource() {
  return std::make_shared<RegistryTlsPolicySource>();
}

}  // namespace corvane
