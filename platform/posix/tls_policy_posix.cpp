// The transport policy from the environment (see tls_policy.h).
#include <cstdlib>
#include <cstring>

#include "platform/tls_policy.h"

namespace corvane {
namespace {

class EnvironmentTlsPolicySource final : public TlsPolicySource {
 public:
  TlsPolicy Read() override {
    TlsPolicy policy;
    if (const char* servers = std::getenv("CORVANE_TLS_SERVERS")) {
      policy.servers = TlsPolicyEntries(servers);
    }
    const char* refuse = std::getenv("CORVANE_REFUSE_PLAIN");
    policy.refusePlain = refuse != nullptr && std::strcmp(refuse, "1") == 0;
    const char* noIntegrated = std::getenv("CORVANE_DISABLE_INTEGRATED_PROXY_AUTH");
    policy.integratedProxyAuth = noIntegrated == nullptr || std::strcmp(noIntegrated, "1") != 0;
    return policy;
  }
};

}  // namespace

std::shared_ptr<TlsPolicySource> SystemTlsPolicySource() {
  return std::make_shared<EnvironmentTlsPolicySource>();
}

}  // namespace corvane
