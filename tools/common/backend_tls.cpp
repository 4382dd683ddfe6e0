// The sandbox back end's TLS: see backend_tls.h.
#include "tools/common/backend_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>

namespace corvane::tools::backend_io {

std::shared_ptr<ServerTlsContext> ServerTlsContext::Load(const std::string& certificateFile,
                                                         const std::string& keyFile,
                                                         std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *error = "TLS: no server context";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    *error = "TLS certificate " + certificateFile + " and key " + keyFile + ": " + text;
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return std::shared_ptr<ServerTlsContext>(new ServerTlsContext(ctx));
}

ServerTlsContext::~ServerTlsContext() { SSL_CTX_free(m_ctx); }

ServerTls::ServerTls(const ServerTlsContext& context) {
  m_ssl = SSL_new(context.m_ctx);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (m_ssl == nullptr || in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    m_failed = true;
    return;
  }
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(m_ssl, in, out);
  SSL_set_accept_state(m_ssl);
}

ServerTls::~ServerTls() { SSL_free(m_ssl); }

void ServerTls::Drain(std::string& out) {
  // Read out, not reset: a memory BIO's reset clears all it ever allocated.
  BIO* bio = SSL_get_wbio(m_ssl);
  const size_t pending = BIO_ctrl_pending(bio);
  if (pending == 0) return;
  const size_t at = out.size();
  out.resize(at + pending);
  const int n = BIO_read(bio, out.data() + at, static_cast<int>(pending));
  out.resize(at + static_cast<size_t>(n > 0 ? n : 0));
}

bool ServerTls::Receive(std::string_view in, std::string& plain, std::string& out) {
  if (m_failed) return false;
  if (!in.empty() && BIO_write(SSL_get_rbio(m_ssl), in.data(), static_cast<int>(in.size())) <= 0)
    return false;
  ERR_clear_error();
  if (!m_ready) {
    const int result = SSL_do_handshake(m_ssl);
    if (result != 1) {
      Drain(out);  // an alert, for a client that failed us
      m_failed = SSL_get_error(m_ssl, result) != SSL_ERROR_WANT_READ;
      return !m_failed;
    }
    m_ready = true;
    std::string held;
    held.swap(m_held);
    Send(held, out);
  }
  char buffer[16384];
  for (;;) {
    const int n = SSL_read(m_ssl, buffer, sizeof buffer);
    if (n > 0) {
      plain.append(buffer, static_cast<size_t>(n));
      continue;
    }
    Drain(out);
    // Anything but "more bytes needed" (close_notify included) lets the client go.
    return SSL_get_error(m_ssl, n) == SSL_ERROR_WANT_READ;
  }
}

void ServerTls::Send(std::string_view plain, std::string& out) {
  if (m_failed) return;
  if (!m_ready) {
    m_held.append(plain);
    return;
  }
  // A record's worth at a time, read out after each: the memory BIO then
  // never grows (growing it reallocates and clears the old block each time).
  while (!plain.empty()) {
    const int n =
        SSL_write(m_ssl, plain.data(), static_cast<int>(std::min<size_t>(plain.size(), 16384)));
    if (n <= 0) {
      m_failed = true;
      break;
    }
    plain.remove_prefix(static_cast<size_t>(n));
    Drain(out);
  }
}

void ServerTls::Close(std::string& out) {
  if (m_failed || !m_ready) return;
  SSL_shutdown(m_ssl);
  Drain(out);
}

}  // namespace corvane::tools::backend_io
