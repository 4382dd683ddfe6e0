// The sandbox back end's TLS: one server context for both ports (a PEM
// certificate chain and its key), and per client a session over memory BIOs,
// so the back end's non-blocking loop moves the bytes exactly as it does for a
// plain client. POSIX only (OpenSSL's libssl).
#pragma once

#include <memory>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace corvane::tools::backend_io {

class ServerTlsContext {
 public:
  // TLS 1.2 at least. nullptr with *error set when the files cannot be used.
  static std::shared_ptr<ServerTlsContext> Load(const std::string& certificateFile,
                                                const std::string& keyFile, std::string* error);
  ~ServerTlsContext();
  ServerTlsContext(const ServerTlsContext&) = delete;
  ServerTlsContext& operator=(const ServerTlsContext&) = delete;

 private:
  friend class ServerTls;
  explicit ServerTlsContext(SSL_CTX* ctx) : m_ctx(ctx) {}
  SSL_CTX* m_ctx;
};

class ServerTls {
 public:
  explicit ServerTls(const ServerTlsContext& context);
  ~ServerTls();
  ServerTls(const ServerTls&) = delete;
  ServerTls& operator=(const ServerTls&) = delete;

  // Bytes from the client: appends the application data they complete to
  // plain, and what must go back (the handshake, alerts) to out. False when
  // the client is to be let go: a failed handshake, a bad record, or its
  // close_notify.
  bool Receive(std::string_view in, std::string& plain, std::string& out);
  // Appends the records that carry plain to out; before the handshake is done
  // plain is held and goes out with the handshake's last flight.
  void Send(std::string_view plain, std::string& out);
  // Appends close_notify to out.
  void Close(std::string& out);
  // Whether the handshake is done (held data has gone out).
  bool Ready() const { return m_ready; }

 private:
  void Drain(std::string& out);

  SSL* m_ssl = nullptr;
  bool m_ready = false;
  bool m_failed = false;
  std::string m_held;
};

}  // namespace corvane::tools::backend_io
