// TLS sessions with Schannel through SSPI (see platform/tls.h). The
// connection hands in what it received and sends what the session appended;
// Schannel never touches the socket.
//
// Schannel is asked not to judge the server's certificate
// (SCH_CRED_MANUAL_CRED_VALIDATION): once the handshake is done the session
// builds the chain itself against the Root stores of the user and the machine
// and applies the SSL policy with the name the script gave, so that the
// verdict maps onto tls::Failure. Received bytes that Schannel has not taken
// yet (a partial record, or what follows the handshake) wait in m_pending; a
// record is decrypted in place there.
#define SECURITY_WIN32
// SCH_CREDENTIALS and TLS_PARAMETERS, which need UNICODE_STRING (subauth.h).
#define SCHANNEL_USE_BLACKLISTS
// Each header needs the ones before it (subauth.h gives schannel.h its
// UNICODE_STRING).
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/tls.h"
#include "platform/win32/policy_registry.h"

namespace corvane::tls {
namespace {

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of wininet.h, for the SSL policy.
constexpr DWORD kIgnoreCertNameInvalid = 0x00001000;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  return wide;
}

std::string Utf8(const wchar_t* text, size_t size) {
  return win32::Utf8(std::wstring_view(text, size));
}

std::string Base64(const unsigned char* bytes, size_t size) {
  DWORD length = 0;
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(size), kFlags, nullptr, &length))
    return std::string();
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(size), kFlags, text.data(), &length))
    return std::string();
  text.resize(length);
  // No line breaks, whatever the system's encoder adds.
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
  return text;
}

// "sha256/" and the Base64 of the SHA-256 of the certificate's DER
// SubjectPublicKeyInfo.
std::string PinOf(PCCERT_CONTEXT certificate) {
  BYTE* der = nullptr;
  DWORD length = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                           &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                           nullptr, &der, &length))
    return std::string();
  BYTE digest[32];
  DWORD digestLength = sizeof digest;
  const bool hashed = CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, der, length,
                                            digest, &digestLength) != FALSE;
  LocalFree(der);
  if (!hashed || digestLength != sizeof digest) return std::string();
  return "sha256/" + Base64(digest, sizeof digest);
}

std::string TimeText(const FILETIME& time) {
  SYSTEMTIME t{};
  if (!FileTimeToSystemTime(&time, &t)) return std::string();
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

// The subject most specific first, as OpenSSL's RFC 2253 form has it.
std::string SubjectText(PCCERT_CONTEXT certificate) {
  CERT_NAME_BLOB* name = &certificate->pCertInfo->Subject;
  const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD length = CertNameToStrW(X509_ASN_ENCODING, name, flags, nullptr, 0);
  if (length <= 1) return std::string();
  std::wstring text(length, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, name, flags, text.data(), length);
  return Utf8(text.c_str(), length - 1);
}

std::string ProtocolText(DWORD protocol) {
  if ((protocol & SP_PROT_TLS1_3_CLIENT) != 0) return "TLSv1.3";
  if ((protocol & SP_PROT_TLS1_2_CLIENT) != 0) return "TLSv1.2";
  return "unknown";
}

// A name for the suite from its algorithm identifiers, where Schannel does
// not name it.
std::string CipherText(const SecPkgContext_ConnectionInfo& info) {
  std::string text;
  switch (info.aiExch) {
    case CALG_ECDH:
    case CALG_ECDH_EPHEM:
      text = "ECDHE-";
      break;
    case CALG_DH_EPHEM:
      text = "DHE-";
      break;
    case CALG_RSA_KEYX:
      text = "RSA-";
      break;
    default:
      break;
  }
  switch (info.aiCipher) {
    case CALG_AES_128:
      text += "AES128";
      break;
    case CALG_AES_256:
      text += "AES256";
      break;
    default:
      text += "CIPHER" + std::to_string(info.aiCipher);
      break;
  }
  switch (info.aiHash) {
    case CALG_SHA_256:
      text += "-SHA256";
      break;
    case CALG_SHA_384:
      text += "-SHA384";
      break;
    default:
      break;
  }
  return text;
}

// The bytes of an IPv4 or IPv6 address text; empty for a host name.
std::string AddressBytes(const std::wstring& name) {
  IN_ADDR v4{};
  if (InetPtonW(AF_INET, name.c_str(), &v4) == 1)
    return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
  IN6_ADDR v6{};
  if (InetPtonW(AF_INET6, name.c_str(), &v6) == 1)
    return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
  return std::string();
}

// Whether the certificate's subjectAltName has this IP address. The SSL
// policy matches names only (Wine's never an address), so an address is
// matched here and the policy told to let the name be.
bool HasAddress(PCCERT_CONTEXT certificate, const std::string& address) {
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            std::string(reinterpret_cast<const char*>(entry.IPAddress.pbData),
                        entry.IPAddress.cbData) == address;
  }
  LocalFree(names);
  return found;
}

// The IANA name of the suites Schannel offers for TLS 1.2 and 1.3 with
// forward secrecy; null for others.
const char* SuiteName(DWORD suite) {
  switch (suite) {
    case 0x1301:
      return "TLS_AES_128_GCM_SHA256";
    case 0x1302:
      return "TLS_AES_256_GCM_SHA384";
    case 0x1303:
      return "TLS_CHACHA20_POLY1305_SHA256";
    case 0xC02B:
      return "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256";
    case 0xC02C:
      return "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384";
    case 0xC02F:
      return "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
    case 0xC030:
      return "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384";
    case 0xCCA8:
      return "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256";
    case 0xCCA9:
      return "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256";
    default:
      return nullptr;
  }
}

Failure FailureOfPolicy(DWORD error, PCCERT_CONTEXT certificate) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDTESTROOT):
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
      return Failure::UnknownIssuer;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return Failure::NameMismatch;
    case static_cast<DWORD>(CERT_E_EXPIRED): {
      // The policy says the same for both ends of the validity period.
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      return CompareFileTime(&now, &certificate->pCertInfo->NotBefore) < 0 ? Failure::NotYetValid
                                                                           : Failure::Expired;
    }
    default:
      return Failure::Other;
  }
}

std::string SystemText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(error));
  return message.empty() ? code : message + " (" + code + ")";
}

class SchannelSession final : public ClientSession {
 public:
  explicit SchannelSession(ClientConfig config)
      : m_config(std::move(config)), m_target(Wide(m_config.serverName)) {}
  ~SchannelSession() override {
    if (m_haveContext) DeleteSecurityContext(&m_context);
    if (m_haveCredentials) FreeCredentialsHandle(&m_credentials);
  }
  SchannelSession(const SchannelSession&) = delete;
  SchannelSession& operator=(const SchannelSession&) = delete;

  bool Init() {
    // SCH_CREDENTIALS (Windows 10 1809 and later, the only way to TLS 1.3):
    // every protocol below 1.2 is disabled. Older systems refuse the
    // structure; then SCHANNEL_CRED with TLS 1.2 alone.
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                        SCH_CRED_NO_SERVERNAME_CHECK | SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    if (Acquire(&modern)) return true;
    SCHANNEL_CRED legacy{};
    legacy.dwVersion = SCHANNEL_CRED_VERSION;
    legacy.dwFlags = flags;
    legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    return Acquire(&legacy);
  }

  Status Handshake(std::string_view in, std::string& out) override {
    if (m_failure != Failure::None) return Status::Failed;
    if (m_handshakeDone) return Status::Done;
    m_pending.append(in);
    if (!m_haveContext) {
      // The ClientHello: no input yet.
      const Status status = Step(nullptr, out);
      if (status != Status::Continue || m_pending.empty()) return status;
    }
    while (!m_pending.empty()) {
      const Status status = Step(&m_pending, out);
      if (status == Status::Done) return Verify();
      if (status == Status::Failed) return status;
      if (m_incomplete) return Status::Continue;
    }
    return Status::Continue;
  }

  Status Decrypt(std::string_view in, std::string& plain, std::string& out) override {
    if (m_failure != Failure::None) return Status::Failed;
    if (m_closed) return Status::Closed;
    m_pending.append(in);
    for (;;) {
      if (m_renegotiating) {
        // The context takes records until it is done with the handshake
        // messages.
        const Status step = Step(&m_pending, out);
        if (step == Status::Failed) return step;
        if (m_incomplete) return Status::Continue;
        if (step == Status::Done) m_renegotiating = false;
        if (m_renegotiating && m_pending.empty()) return Status::Continue;
        continue;
      }
      if (m_pending.empty()) return Status::Continue;
      // The record's type, in the clear before TLS 1.3: 21 is an alert.
      const bool alert = m_pending[0] == 21;
      SecBuffer buffers[4] = {
          {static_cast<ULONG>(m_pending.size()), SECBUFFER_DATA, m_pending.data()},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = DecryptMessage(&m_context, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Status::Continue;
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
        return Fail(Failure::Protocol, SystemText(static_cast<DWORD>(status)));
      // The buffers point into m_pending: take what they say before it moves.
      std::string extra;
      bool data = false;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer != 0) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          data = true;
        }
        if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer != 0)
          extra.assign(m_pending.data() + m_pending.size() - buffer.cbBuffer, buffer.cbBuffer);
      }
      m_pending = std::move(extra);
      // Wine's Schannel answers close_notify with SEC_E_OK and no data
      // instead of SEC_I_CONTEXT_EXPIRED; any other alert fails the call.
      if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert && !data)) {
        m_closed = true;
        return Status::Closed;
      }
      // A handshake message after the handshake (TLS 1.3: a session ticket or
      // a key update): InitializeSecurityContextW takes what follows.
      if (status == SEC_I_RENEGOTIATE) m_renegotiating = true;
    }
  }

  bool Encrypt(std::string_view plain, std::string& out) override {
    if (m_failure != Failure::None || m_closed || !m_handshakeDone) return false;
    while (!plain.empty()) {
      const size_t size = std::min<size_t>(plain.size(), m_sizes.cbMaximumMessage);
      const size_t start = out.size();
      out.resize(start + m_sizes.cbHeader + size + m_sizes.cbTrailer);
      char* record = out.data() + start;
      std::memcpy(record + m_sizes.cbHeader, plain.data(), size);
      SecBuffer buffers[4] = {
          {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
          {static_cast<ULONG>(size), SECBUFFER_DATA, record + m_sizes.cbHeader},
          {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + m_sizes.cbHeader + size},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&m_context, 0, &description, 0);
      if (status != SEC_E_OK) {
        out.resize(start);
        Fail(Failure::Protocol, SystemText(static_cast<DWORD>(status)));
        return false;
      }
      // The trailer may be shorter than its room.
      out.resize(start + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      plain.remove_prefix(size);
    }
    return true;
  }

  void Close(std::string& out) override {
    if (m_failure != Failure::None || !m_haveContext) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&m_context, &description) != SEC_E_OK) return;
    Step(nullptr, out);
    m_closed = true;
  }

  Negotiated Parameters() const override {
    Negotiated n;
    if (!m_handshakeDone) return n;
    CtxtHandle* context = const_cast<CtxtHandle*>(&m_context);
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesW(context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
      n.protocol = ProtocolText(connection.dwProtocol);
      n.cipher = CipherText(connection);
    }
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesW(context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
      const std::string name =
          Utf8(cipher.szCipherSuite, wcsnlen(cipher.szCipherSuite, SZ_ALG_MAX_SIZE));
      // Wine writes "<unknown>" into names it cannot complete: then by the number.
      if (!name.empty() && name.find('<') == std::string::npos)
        n.cipher = name;
      else if (const char* known = SuiteName(cipher.dwCipherSuite))
        n.cipher = known;
    }
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) ==
            SEC_E_OK &&
        certificate != nullptr) {
      n.subject = SubjectText(certificate);
      n.notAfter = TimeText(certificate->pCertInfo->NotAfter);
      CertFreeCertificateContext(certificate);
    }
    return n;
  }

  Failure Error() const override { return m_failure; }
  std::string ErrorText() const override { return m_errorText; }

 private:
  bool Acquire(void* credentials) {
    TimeStamp expiry;
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, credentials,
                                  nullptr, nullptr, &m_credentials, &expiry);
    m_haveCredentials = status == SEC_E_OK;
    return m_haveCredentials;
  }

  // One call of InitializeSecurityContextW: input is the bytes received (all
  // of them; what Schannel leaves stays there), or null for the first. Appends
  // the token to send to out. m_incomplete says more bytes are needed.
  Status Step(std::string* input, std::string& out) {
    m_incomplete = false;
    SecBuffer inBuffers[2] = {
        {0, SECBUFFER_TOKEN, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, inBuffers};
    if (input != nullptr) {
      inBuffers[0].cbBuffer = static_cast<ULONG>(input->size());
      inBuffers[0].pvBuffer = input->data();
    }
    SecBuffer outBuffers[2] = {
        {0, SECBUFFER_TOKEN, nullptr},
        {0, SECBUFFER_ALERT, nullptr},
    };
    SecBufferDesc outDescription{SECBUFFER_VERSION, 2, outBuffers};
    ULONG attributes = 0;
    wchar_t* target = m_target.empty() ? nullptr : m_target.data();
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &m_credentials, m_haveContext ? &m_context : nullptr, target, kContextRequest, 0, 0,
        input != nullptr ? &inDescription : nullptr, 0, &m_context, &outDescription, &attributes,
        nullptr);
    if (!m_haveContext && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK))
      m_haveContext = true;
    for (SecBuffer& buffer : outBuffers) {
      if (buffer.pvBuffer == nullptr) continue;
      if (buffer.BufferType == SECBUFFER_TOKEN && buffer.cbBuffer != 0)
        out.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
      FreeContextBuffer(buffer.pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      m_incomplete = true;
      return Status::Continue;
    }
    if (input != nullptr) {
      // What Schannel did not take is the tail of the input.
      if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer != 0 &&
          inBuffers[1].cbBuffer <= input->size())
        input->erase(0, input->size() - inBuffers[1].cbBuffer);
      else if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)
        input->clear();
    }
    switch (status) {
      case SEC_E_OK:
        return Status::Done;
      case SEC_I_CONTINUE_NEEDED:
        return Status::Continue;
      case SEC_I_INCOMPLETE_CREDENTIALS:
        // The server asks for a client certificate: none is sent, the same
        // input goes again.
        return Status::Continue;
      default:
        return Fail(Failure::Protocol, SystemText(static_cast<DWORD>(status)));
    }
  }

  // The handshake is over: the chain, the name, the dates, the pins.
  Status Verify() {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
            SEC_E_OK ||
        certificate == nullptr)
      return Fail(Failure::Other, "the server sent no certificate");
    Status result = VerifyChain(certificate);
    CertFreeCertificateContext(certificate);
    if (result != Status::Done) return result;
    // The floor, whatever the credentials asked for (Wine's Schannel takes
    // SCH_CREDENTIALS but not its TLS_PARAMETERS).
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesW(&m_context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
        (connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0)
      return Fail(Failure::Protocol, "a protocol below TLS 1.2");
    if (QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK)
      return Fail(Failure::Other, "no stream sizes");
    m_handshakeDone = true;
    return Status::Done;
  }

  Status VerifyChain(PCCERT_CONTEXT certificate) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The certificates the server sent come with its context's store.
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                 0, nullptr, &chain))
      return Fail(Failure::UnknownIssuer, SystemText(GetLastError()));

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = m_target.data();
    const std::string address = AddressBytes(m_target);
    if (!address.empty()) {
      if (!HasAddress(certificate, address)) {
        CertFreeCertificateChain(chain);
        return Fail(Failure::NameMismatch, "the certificate is not for this IP address");
      }
      ssl.fdwChecks = kIgnoreCertNameInvalid;
    }
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof policyStatus;
    Status result = Status::Done;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus))
      result = Fail(Failure::Other, SystemText(GetLastError()));
    else if (policyStatus.dwError != 0)
      result = Fail(FailureOfPolicy(policyStatus.dwError, certificate),
                    SystemText(policyStatus.dwError));
    else if (!PinsMatch(chain))
      result = Fail(Failure::PinMismatch, "no certificate of the chain has a pin");
    CertFreeCertificateChain(chain);
    return result;
  }

  bool PinsMatch(PCCERT_CHAIN_CONTEXT chain) const {
    if (m_config.pins.empty()) return true;
    if (chain->cChain == 0) return false;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) {
      const std::string pin = PinOf(simple->rgpElement[i]->pCertContext);
      for (const std::string& wanted : m_config.pins) {
        if (!pin.empty() && pin == wanted) return true;
      }
    }
    return false;
  }

  Status Fail(Failure failure, std::string text) {
    m_failure = failure;
    m_errorText = std::move(text);
    return Status::Failed;
  }

  ClientConfig m_config;
  std::wstring m_target;  // the server name, for SNI and the policy
  CredHandle m_credentials{};
  CtxtHandle m_context{};
  bool m_haveCredentials = false;
  bool m_haveContext = false;
  bool m_handshakeDone = false;
  bool m_incomplete = false;     // the last step wanted more bytes
  bool m_renegotiating = false;  // DecryptMessage said SEC_I_RENEGOTIATE
  bool m_closed = false;
  std::string m_pending;  // received, not yet taken by Schannel
  SecPkgContext_StreamSizes m_sizes{};
  Failure m_failure = Failure::None;
  std::string m_errorText;
};

}  // namespace

std::unique_ptr<ClientSession> StartClient(const ClientConfig& config) {
  auto session = std::make_unique<SchannelSession>(config);
  if (!session->Init()) return nullptr;
  return session;
}

}  // namespace corvane::tls
