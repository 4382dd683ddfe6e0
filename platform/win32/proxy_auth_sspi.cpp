// Integrated proxy authentication through SSPI (see proxy_auth.h).
//
// The credentials are the logged-on user's own (no identity given to
// AcquireCredentialsHandleW); the target is "HTTP/<proxy host>". The output
// buffer is the caller's, cbMaxToken bytes of the package, rather than one
// the package allocates (ISC_REQ_ALLOCATE_MEMORY): every SSPI provider takes
// a caller's buffer, and Wine's supports nothing else.
#define SECURITY_WIN32
// windows.h first: the security headers need its types.
// clang-format off
#include <windows.h>
#include <security.h>
#include <sspi.h>
// clang-format on

#include <string>
#include <vector>

#include "platform/proxy_auth.h"
#include "platform/secure_wipe.h"

namespace corvane::auth {
namespace {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Status(const char* what, SECURITY_STATUS status) {
  char text[96];
  wsprintfA(text, "%s: 0x%08lX", what, static_cast<unsigned long>(status));
  return text;
}

class SspiContext final : public Context {
 public:
  SspiContext(CredHandle credentials, std::wstring target, unsigned long maxToken)
      : m_credentials(credentials), m_target(std::move(target)), m_maxToken(maxToken) {}
  ~SspiContext() override {
    if (m_haveContext) DeleteSecurityContext(&m_context);
    FreeCredentialsHandle(&m_credentials);
  }
  SspiContext(const SspiContext&) = delete;
  SspiContext& operator=(const SspiContext&) = delete;

  Step Next(std::string_view input, std::string& token, std::string& why) override {
    token.clear();
    if (m_done) {
      why = "the proxy asked for more after the context was complete";
      return Step::Failed;
    }
    if (m_haveContext && input.empty()) {
      why = "the proxy sent no token to continue with";
      return Step::Failed;
    }
    std::vector<char> in(input.begin(), input.end());
    SecBuffer inBuffer{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, in.data()};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    std::vector<char> out(m_maxToken);
    SecBuffer outBuffer{m_maxToken, SECBUFFER_TOKEN, out.data()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    unsigned long attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextW(
        &m_credentials, m_haveContext ? &m_context : nullptr, m_target.data(), ISC_REQ_CONNECTION,
        0, SECURITY_NATIVE_DREP, m_haveContext ? &inDesc : nullptr, 0, &m_context, &outDesc,
        &attributes, nullptr);
    if (!in.empty()) SecureWipe(in.data(), in.size());
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_COMPLETE_NEEDED ||
        status == SEC_I_COMPLETE_AND_CONTINUE)
      m_haveContext = true;  // the handle is the package's from now on, freed by the destructor
    if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
      const SECURITY_STATUS completed = CompleteAuthToken(&m_context, &outDesc);
      if (completed != SEC_E_OK) {
        SecureWipe(out.data(), out.size());
        why = Status("CompleteAuthToken", completed);
        return Step::Failed;
      }
      status = status == SEC_I_COMPLETE_NEEDED ? SEC_E_OK : SEC_I_CONTINUE_NEEDED;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      SecureWipe(out.data(), out.size());
      why = Status("InitializeSecurityContext", status);
      return Step::Failed;
    }
    token.assign(out.data(), outBuffer.cbBuffer <= m_maxToken ? outBuffer.cbBuffer : 0);
    SecureWipe(out.data(), out.size());
    if (status == SEC_I_CONTINUE_NEEDED) return Step::Continue;
    m_done = true;
    return Step::Done;
  }

 private:
  CredHandle m_credentials;
  CtxtHandle m_context{};
  bool m_haveContext = false;
  std::wstring m_target;
  unsigned long m_maxToken;
  bool m_done = false;
};

}  // namespace

std::unique_ptr<Context> StartContext(Mechanism mechanism, const std::string& host,
                                      std::string& why) {
  wchar_t package[16];
  lstrcpyW(package, mechanism == Mechanism::Negotiate ? L"Negotiate" : L"NTLM");
  PSecPkgInfoW info = nullptr;
  SECURITY_STATUS status = QuerySecurityPackageInfoW(package, &info);
  if (status != SEC_E_OK || info == nullptr) {
    why = Status("QuerySecurityPackageInfo", status);
    return nullptr;
  }
  const unsigned long maxToken = info->cbMaxToken;
  FreeContextBuffer(info);
  CredHandle credentials{};
  TimeStamp expiry{};
  status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                     nullptr, nullptr, &credentials, &expiry);
  if (status != SEC_E_OK) {
    why = Status("AcquireCredentialsHandle", status);
    return nullptr;
  }
  return std::make_unique<SspiContext>(credentials, Wide("HTTP/" + host), maxToken);
}

}  // namespace corvane::auth
