// The proxy's answer to a CONNECT request (sans-I/O).
//
// The answer is an HTTP header: a status line and header lines up to the
// CR LF CR LF that ends it. Whatever follows belongs to the server (or, after
// a refusal, is the refusal's body), so the parser consumes exactly the
// header's bytes and never one more: fed bytes as they arrive, it says how
// many of them it took, and whether it needs more, has the whole header, or
// is not looking at an answer at all (a header past kMaxHeader without its
// end; and, where the server's own bytes may come instead, bytes that do not
// start with "HTTP/"). Both places that meet the answer use it: the
// connection attempt that sent the request (which takes whatever comes
// first as the answer), and the receive side of a connection whose script
// sent the request itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// One challenge of a Proxy-Authenticate header: its scheme as the proxy
// wrote it, and its token68 (the Base64 of a Negotiate or NTLM token; empty
// when the challenge carries none, or auth-params such as realm="...").
struct AuthChallenge {
  std::string scheme;
  std::string token;
};

class ProxyAnswer {
 public:
  static constexpr size_t kMaxHeader = 16384;
  enum class State { NeedMore, Complete, Malformed };

  // httpOnly: bytes that do not start with "HTTP/" are no answer.
  explicit ProxyAnswer(bool httpOnly = true) : m_httpOnly(httpOnly) {}

  // Takes bytes of the answer; returns how many it consumed (all of them
  // while it needs more, up to the header's end when complete, none once
  // malformed).
  size_t Feed(std::string_view bytes);
  State state() const { return m_state; }
  void Reset();

  // Once complete: the status line without its CR LF, its three-digit code
  // (-1 when the line is not "HTTP/x.y NNN ..."), and the header's
  // Content-Length (-1 when it has none).
  std::string_view StatusLine() const;
  int StatusCode() const;
  int64_t ContentLength() const;
  // "stablished" (of "Connection established", in either case of its first
  // letter) somewhere in the header: older proxies say so with any status.
  bool SaysEstablished() const;
  // Every challenge of every Proxy-Authenticate header, in order; a header
  // may hold several, separated by commas (RFC 9110, 11.6.1). A challenge
  // whose scheme is not a token ends its header's list.
  std::vector<AuthChallenge> Challenges() const;
  // How the answer's body is delimited: a Transfer-Encoding whose last coding
  // is chunked wins over Content-Length (RFC 9112, 6.3); a Transfer-Encoding
  // without it, or neither header, means the body runs to the connection's
  // end, unless the answer says Content-Length: 0 or has a status without a
  // body (1xx, 204, 304).
  enum class Body { Length, Chunked, UntilClose };
  Body BodyKind() const;
  // Whether the proxy keeps the connection for the next request once the
  // body is read: not after "close" (Connection or Proxy-Connection), an
  // HTTP/1.0 answer without "keep-alive", or a body that runs to the end.
  bool KeepsConnection() const;

 private:
  // The values of every header line named name (case-insensitive).
  std::vector<std::string_view> Values(std::string_view name) const;

  bool m_httpOnly;
  std::string m_header;
  State m_state = State::NeedMore;
};

}  // namespace corvane

namespace corvane {

// The body that follows an answer's header, read without taking one byte
// past its end (sans-I/O, like ProxyAnswer): Content-Length bytes, chunks up
// to the last chunk and its trailer, or whatever comes until the connection
// ends. Wanted() says how many bytes the next Feed can take at most, so a
// reader never reads the next answer's bytes into this one.
class AnswerBody {
 public:
  enum class State { NeedMore, Complete, Malformed };
  static constexpr size_t kMaxLine = 4096;

  AnswerBody(ProxyAnswer::Body kind, int64_t length);
  // Takes at most Wanted() bytes; returns how many it consumed.
  size_t Feed(std::string_view bytes);
  // The connection ended: complete only for a body that runs to the end.
  void End();
  State state() const { return m_state; }
  size_t Wanted() const;

 private:
  enum class Part { Size, Data, DataEnd, Trailer };
  ProxyAnswer::Body m_kind;
  int64_t m_left = 0;  // of Content-Length, or of the current chunk
  Part m_part = Part::Size;
  std::string m_line;
  State m_state = State::NeedMore;
};

// The schemes the component answers a 407 with, strongest first.
enum class ProxyAuthScheme { None, Negotiate, Ntlm, Basic };
// Negotiate, then NTLM (both only when integrated authentication is allowed
// for this proxy), then Basic (only with the script's credentials); None
// when the proxy offers nothing of these.
ProxyAuthScheme ChooseProxyAuth(const std::vector<AuthChallenge>& offers, bool integrated,
                                bool basicCredentials);
// The scheme's name on the wire ("Negotiate", "NTLM", "Basic").
std::string_view ProxyAuthName(ProxyAuthScheme scheme);
// The token the proxy sent with scheme's challenge (empty when none).
std::string ProxyAuthToken(const std::vector<AuthChallenge>& offers, ProxyAuthScheme scheme);

}  // namespace corvane
