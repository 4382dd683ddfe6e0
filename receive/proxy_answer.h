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

namespace corvane {

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

 private:
  bool m_httpOnly;
  std::string m_header;
  State m_state = State::NeedMore;
};

}  // namespace corvane
