// TLS for one connection, as a record its caller drives (sans-I/O): the
// caller moves the bytes between the socket and the session, the session says
// what it made of them. OpenSSL's libssl on POSIX (tls_openssl.cpp), Schannel
// through SSPI on Windows (tls_schannel.cpp); nothing else of the component
// knows which.
//
// What a client session checks, and there is no way to check less:
//   - the server's chain up to a root of the system's trust store (POSIX: the
//     default OpenSSL paths, which SSL_CERT_FILE and SSL_CERT_DIR can point
//     elsewhere; Windows: the Root store of the user and the machine);
//   - the name the script gave, against the certificate's DNS names (or, for
//     an IP address, its IP addresses);
//   - the validity dates;
//   - TLS 1.2 at least (1.3 where both ends have it);
//   - when pins are given, that one of the chain's certificates has one of
//     them: "sha256/" followed by the Base64 of the SHA-256 of its DER
//     SubjectPublicKeyInfo (the form of HPKP and of curl's --pinnedpubkey).
//
// Threads: one session is used by one thread at a time; the connection that
// owns it serialises its reader's Decrypt with the owner's Encrypt.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::tls {

struct ClientConfig {
  std::string serverName;         // the server as the script named it
  std::vector<std::string> pins;  // "sha256/<base64>", any one of them
};

// What was negotiated, once the handshake is done; texts for scripts and the
// trace.
struct Negotiated {
  std::string protocol;  // "TLSv1.2", "TLSv1.3"
  std::string cipher;    // as the library names the suite
  std::string subject;   // the server certificate's subject, "CN=..., O=..."
  std::string notAfter;  // its expiry, UTC, "2027-01-31T12:00:00Z"
};

// Why a handshake or a record failed.
enum class Failure : uint8_t {
  None,
  UnknownIssuer,  // the chain ends in no trusted root (or cannot be built)
  NameMismatch,   // the certificate is not for the name the script gave
  Expired,
  NotYetValid,
  PinMismatch,  // verified, but no certificate of the chain has a given pin
  Protocol,     // not TLS, a version or suite below the floor, a bad record
  Other,
};
// "unknown issuer", "name mismatch", "expired", "not yet valid", "pin
// mismatch", "protocol", "other".
const char* FailureName(Failure failure);

enum class Status : uint8_t {
  Continue,  // needs more bytes from the server (send what was appended first)
  Done,      // the handshake is over
  Closed,    // the server's close_notify arrived: the end of its stream
  Failed,    // see Error()
};

class ClientSession {
 public:
  virtual ~ClientSession() = default;

  // The handshake. in: the bytes received since the last call (none on the
  // first). Appends to out what must be sent, then returns Continue until the
  // handshake is Done or Failed. Every byte of in is taken: bytes that
  // follow the handshake are kept for Decrypt.
  virtual Status Handshake(std::string_view in, std::string& out) = 0;

  // After the handshake: appends to plain the application data that in (with
  // bytes kept before) completes, and to out anything the session must send
  // back (a key update's answer). Continue while the stream goes on; Closed
  // once close_notify came (what preceded it is in plain); Failed on a bad
  // record.
  virtual Status Decrypt(std::string_view in, std::string& plain, std::string& out) = 0;

  // Appends to out the records that carry plain. False when the session
  // cannot (it failed or was closed).
  virtual bool Encrypt(std::string_view plain, std::string& out) = 0;

  // Appends close_notify to out (for a connection the component closes).
  virtual void Close(std::string& out) = 0;

  virtual Negotiated Parameters() const = 0;
  virtual Failure Error() const = 0;
  // The library's own words on the failure, for the trace (never a secret).
  virtual std::string ErrorText() const = 0;
};

// A client session for config; nullptr when TLS cannot be had on this system
// (the library or the security package is missing).
std::unique_ptr<ClientSession> StartClient(const ClientConfig& config);

// Whether a pin text is well formed: "sha256/" and the Base64 of 32 bytes.
bool PinWellFormed(std::string_view pin);

}  // namespace corvane::tls
