// Integrated authentication to a proxy with the logged-on user's identity:
// one security context per authentication of one connection (sans-I/O: the
// caller carries the tokens in its Proxy-Authorization lines and the proxy's
// Proxy-Authenticate challenges).
//
// Windows: SSPI's "Negotiate" or "NTLM" package with the user's own logon
// (AcquireCredentialsHandleW without an identity), InitializeSecurityContextW
// for the target "HTTP/<proxy host>". POSIX: GSSAPI (MIT krb5) for
// "HTTP@<proxy host>", SPNEGO for Negotiate as curl does, and gss-ntlmssp's
// NTLM mechanism where it is installed. Credentials are never delegated.
//
// A context owns every handle and buffer it made and frees them when it goes;
// the tokens it gives are the caller's to wipe. Nothing here is traced: the
// reasons it gives name a status, never a token.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace corvane::auth {

enum class Mechanism { Negotiate, Ntlm };

enum class Step {
  Continue,  // send the token; the proxy's answer may carry the next one
  Done,      // the context is complete (a last token may still be sent)
  Failed,    // no further token; why says what the platform answered
};

class Context {
 public:
  virtual ~Context() = default;
  // One step: input is the proxy's token (raw bytes; empty for the first
  // step); token receives the next token to send (raw bytes; may be empty).
  virtual Step Next(std::string_view input, std::string& token, std::string& why) = 0;
};

// A context for the proxy named host (as the configuration named it: the
// service principal is made from this name). nullptr, with why, when the
// platform has no such mechanism or no credentials for the user.
std::unique_ptr<Context> StartContext(Mechanism mechanism, const std::string& host,
                                      std::string& why);

}  // namespace corvane::auth
