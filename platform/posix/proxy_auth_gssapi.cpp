// Integrated proxy authentication through GSSAPI (see proxy_auth.h).
//
// MIT krb5's mechglue picks the credentials of the user's ticket cache
// (KRB5CCNAME) for SPNEGO, and those gss-ntlmssp finds (NTLM_USER_FILE,
// winbind) for NTLM. The target is the host-based service "HTTP@host".
#include <gssapi/gssapi.h>

#include <cstring>
#include <string>

#include "platform/proxy_auth.h"
#include "platform/secure_wipe.h"

namespace corvane::auth {
namespace {

// SPNEGO (1.3.6.1.5.5.2) and NTLMSSP (1.3.6.1.4.1.311.2.2.10).
gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
gss_OID_desc kNtlm = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// The mechanism's words for a status, as far as they go (they name the
// failure, never a token).
std::string Describe(OM_uint32 major, OM_uint32 minor, gss_OID mech) {
  std::string text;
  for (int type : {GSS_C_GSS_CODE, GSS_C_MECH_CODE}) {
    const OM_uint32 code = type == GSS_C_GSS_CODE ? major : minor;
    if (type == GSS_C_MECH_CODE && code == 0) break;
    OM_uint32 context = 0;
    do {
      OM_uint32 ignored = 0;
      gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
      if (gss_display_status(&ignored, code, type, mech, &context, &message) != GSS_S_COMPLETE)
        break;
      if (!text.empty()) text += ": ";
      text.append(static_cast<const char*>(message.value), message.length);
      gss_release_buffer(&ignored, &message);
    } while (context != 0);
  }
  return text.empty() ? "GSSAPI status " + std::to_string(major) : text;
}

class GssContext final : public Context {
 public:
  GssContext(gss_OID mech, gss_name_t target) : m_mech(mech), m_target(target) {}
  ~GssContext() override {
    OM_uint32 minor = 0;
    if (m_context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &m_context, GSS_C_NO_BUFFER);
    if (m_target != GSS_C_NO_NAME) gss_release_name(&minor, &m_target);
  }
  GssContext(const GssContext&) = delete;
  GssContext& operator=(const GssContext&) = delete;

  Step Next(std::string_view input, std::string& token, std::string& why) override {
    token.clear();
    if (m_done) {
      why = "the proxy asked for more after the context was complete";
      return Step::Failed;
    }
    gss_buffer_desc in = GSS_C_EMPTY_BUFFER;
    in.value = const_cast<char*>(input.data());
    in.length = input.size();
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 minor = 0;
    // No delegation, no mutual authentication asked for: the proxy's 200
    // carries no token of its own.
    const OM_uint32 major = gss_init_sec_context(
        &minor, GSS_C_NO_CREDENTIAL, &m_context, m_target, m_mech, 0, GSS_C_INDEFINITE,
        GSS_C_NO_CHANNEL_BINDINGS, input.empty() ? GSS_C_NO_BUFFER : &in, nullptr, &out, nullptr,
        nullptr);
    if (out.length > 0) token.assign(static_cast<const char*>(out.value), out.length);
    if (out.value != nullptr) {
      SecureWipe(out.value, out.length);
      OM_uint32 ignored = 0;
      gss_release_buffer(&ignored, &out);
    }
    if (GSS_ERROR(major)) {
      SecureWipe(token);
      why = Describe(major, minor, m_mech);
      return Step::Failed;
    }
    if (major & GSS_S_CONTINUE_NEEDED) return Step::Continue;
    m_done = true;
    return Step::Done;
  }

 private:
  gss_OID m_mech;
  gss_name_t m_target;
  gss_ctx_id_t m_context = GSS_C_NO_CONTEXT;
  bool m_done = false;
};

}  // namespace

std::unique_ptr<Context> StartContext(Mechanism mechanism, const std::string& host,
                                      std::string& why) {
  const std::string service = "HTTP@" + host;
  gss_buffer_desc name = {service.size(), const_cast<char*>(service.data())};
  gss_name_t target = GSS_C_NO_NAME;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_import_name(&minor, &name, GSS_C_NT_HOSTBASED_SERVICE, &target);
  if (GSS_ERROR(major)) {
    why = Describe(major, minor, GSS_C_NO_OID);
    return nullptr;
  }
  return std::make_unique<GssContext>(mechanism == Mechanism::Negotiate ? &kSpnego : &kNtlm,
                                      target);
}

}  // namespace corvane::auth
