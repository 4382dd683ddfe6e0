// TLS sessions with OpenSSL's libssl over memory BIOs (see platform/tls.h):
// the connection writes what it received into one BIO and sends what libssl
// wrote into the other, so libssl never touches the socket.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

#include "platform/tls.h"

namespace corvane::tls {
namespace {

bool IsIpAddress(const std::string& name) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
  const bool isIp = ip != nullptr;
  ASN1_OCTET_STRING_free(ip);
  return isIp;
}

// "sha256/" and the Base64 of the SHA-256 of the certificate's DER
// SubjectPublicKeyInfo.
std::string PinOf(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  if (length <= 0) return std::string();
  unsigned char digest[32];
  unsigned int digestLength = 0;
  const bool hashed = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength,
                                 EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed || digestLength != sizeof digest) return std::string();
  std::array<unsigned char, 48> base64{};
  const int written = EVP_EncodeBlock(base64.data(), digest, sizeof digest);
  return "sha256/" + std::string(reinterpret_cast<const char*>(base64.data()), written);
}

std::string NameText(X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return std::string();
  // RFC 2253's order (most specific first), ", " between the parts, as
  // Windows writes a name: "CN=trade.broker.example, O=Broker".
  X509_NAME_print_ex(bio, name, 0, (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK) | XN_FLAG_SEP_CPLUS_SPC);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(length > 0 ? length : 0));
  BIO_free(bio);
  return text;
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return std::string();
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

Failure FailureOfVerification(long result) {
  switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return Failure::UnknownIssuer;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return Failure::NameMismatch;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return Failure::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return Failure::NotYetValid;
    default:
      return Failure::Other;
  }
}

class OpenSslSession final : public ClientSession {
 public:
  explicit OpenSslSession(ClientConfig config) : m_config(std::move(config)) {}
  ~OpenSslSession() override {
    SSL_free(m_ssl);  // frees both BIOs
    SSL_CTX_free(m_ctx);
  }
  OpenSslSession(const OpenSslSession&) = delete;
  OpenSslSession& operator=(const OpenSslSession&) = delete;

  bool Init() {
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (m_ctx == nullptr) return false;
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(m_ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    // The system's trust store (SSL_CERT_FILE and SSL_CERT_DIR move it).
    if (SSL_CTX_set_default_verify_paths(m_ctx) != 1) return false;
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    m_ssl = SSL_new(m_ctx);
    if (m_ssl == nullptr) return false;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      return false;
    }
    // A memory BIO that runs dry asks for more instead of ending the stream.
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(m_ssl, in, out);
    m_in = in;
    m_out = out;
    SSL_set_connect_state(m_ssl);
    const std::string& name = m_config.serverName;
    if (IsIpAddress(name)) {
      if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), name.c_str()) != 1) return false;
    } else {
      SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (SSL_set1_host(m_ssl, name.c_str()) != 1) return false;
      if (SSL_set_tlsext_host_name(m_ssl, name.c_str()) != 1) return false;
    }
    return true;
  }

  Status Handshake(std::string_view in, std::string& out) override {
    if (m_failure != Failure::None) return Status::Failed;
    if (!Feed(in)) return Fail(Failure::Other, "out of memory");
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    Drain(out);
    if (result == 1) {
      if (!PinsMatch()) return Fail(Failure::PinMismatch, "no certificate of the chain has a pin");
      return Status::Done;
    }
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ) return Status::Continue;
    const long verification = SSL_get_verify_result(m_ssl);
    if (verification != X509_V_OK)
      return Fail(FailureOfVerification(verification), X509_verify_cert_error_string(verification));
    return Fail(Failure::Protocol, LibraryText());
  }

  Status Decrypt(std::string_view in, std::string& plain, std::string& out) override {
    if (m_failure != Failure::None) return Status::Failed;
    if (m_closed) return Status::Closed;
    if (!Feed(in)) return Fail(Failure::Other, "out of memory");
    char buffer[16384];
    for (;;) {
      ERR_clear_error();
      const int n = SSL_read(m_ssl, buffer, sizeof buffer);
      if (n > 0) {
        plain.append(buffer, static_cast<size_t>(n));
        // Nothing left to read: asking again would only fail (a second call
        // per record, a measurable part of a small message's latency).
        if (SSL_pending(m_ssl) == 0 && BIO_ctrl_pending(m_in) == 0) {
          Drain(out);
          return Status::Continue;
        }
        continue;
      }
      const int error = SSL_get_error(m_ssl, n);
      Drain(out);
      if (error == SSL_ERROR_WANT_READ) return Status::Continue;
      if (error == SSL_ERROR_ZERO_RETURN) {
        m_closed = true;
        return Status::Closed;
      }
      return Fail(Failure::Protocol, LibraryText());
    }
  }

  bool Encrypt(std::string_view plain, std::string& out) override {
    if (m_failure != Failure::None || m_closed) return false;
    while (!plain.empty()) {
      ERR_clear_error();
      // A record's worth at a time, read out after each, so the memory BIO
      // never grows (growing reallocates and clears the old block).
      const int n =
          SSL_write(m_ssl, plain.data(), static_cast<int>(std::min<size_t>(plain.size(), 16384)));
      if (n <= 0) {
        Fail(Failure::Protocol, LibraryText());
        return false;
      }
      plain.remove_prefix(static_cast<size_t>(n));
      Drain(out);
    }
    return true;
  }

  void Close(std::string& out) override {
    if (m_failure != Failure::None) return;
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    Drain(out);
  }

  Negotiated Parameters() const override {
    Negotiated n;
    n.protocol = SSL_get_version(m_ssl);
    const char* cipher = SSL_get_cipher_name(m_ssl);
    if (cipher != nullptr) n.cipher = cipher;
    if (X509* certificate = SSL_get0_peer_certificate(m_ssl)) {
      n.subject = NameText(X509_get_subject_name(certificate));
      n.notAfter = TimeText(X509_get0_notAfter(certificate));
    }
    return n;
  }

  Failure Error() const override { return m_failure; }
  std::string ErrorText() const override { return m_errorText; }

 private:
  bool Feed(std::string_view in) {
    while (!in.empty()) {
      const int n =
          BIO_write(m_in, in.data(), static_cast<int>(std::min<size_t>(in.size(), 1 << 30)));
      if (n <= 0) return false;
      in.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  void Drain(std::string& out) {
    // Read out, not reset: a memory BIO's reset clears all it ever allocated.
    const size_t pending = BIO_ctrl_pending(m_out);
    if (pending == 0) return;
    const size_t at = out.size();
    out.resize(at + pending);
    const int n = BIO_read(m_out, out.data() + at, static_cast<int>(pending));
    out.resize(at + static_cast<size_t>(n > 0 ? n : 0));
  }

  bool PinsMatch() const {
    if (m_config.pins.empty()) return true;
    STACK_OF(X509)* chain = SSL_get0_verified_chain(m_ssl);
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
      const std::string pin = PinOf(sk_X509_value(chain, i));
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

  static std::string LibraryText() {
    const unsigned long error = ERR_peek_last_error();
    if (error == 0) return "the connection is not TLS";
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
  }

  ClientConfig m_config;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  BIO* m_in = nullptr;   // owned by m_ssl
  BIO* m_out = nullptr;  // owned by m_ssl
  Failure m_failure = Failure::None;
  std::string m_errorText;
  bool m_closed = false;
};

}  // namespace

std::unique_ptr<ClientSession> StartClient(const ClientConfig& config) {
  auto session = std::make_unique<OpenSslSession>(config);
  if (!session->Init()) return nullptr;
  return session;
}

}  // namespace corvane::tls
