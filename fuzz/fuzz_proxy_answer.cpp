// The proxy's answer to a CONNECT request, as the attempt reads it between
// rounds of authentication: the header, its challenges, how its body is
// delimited, and the body taken in the sizes the reader asks for.
//
// Whatever the proxy sends: the header parser never takes more than it is
// given; every challenge's scheme is a non-empty token; the body reader never
// takes more than Wanted(), asks for something while it needs more, and
// once complete takes nothing more.
//
// Input: one byte that cuts the stream into reads of 1 to 256 bytes, then the
// proxy's bytes.
#include <algorithm>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "receive/proxy_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using corvane::AnswerBody;
  using corvane::ProxyAnswer;
  corvane::fuzz::InputReader in(data, size);
  const size_t cut = size_t{in.Byte()} + 1;
  std::string_view stream = in.Rest();

  ProxyAnswer answer(false);
  while (!stream.empty() && answer.state() == ProxyAnswer::State::NeedMore) {
    const std::string_view read = stream.substr(0, cut);
    const size_t taken = answer.Feed(read);
    if (taken > read.size()) __builtin_trap();
    stream.remove_prefix(taken);
    if (taken < read.size()) break;
  }
  if (answer.state() != ProxyAnswer::State::Complete) return 0;
  for (const corvane::AuthChallenge& c : answer.Challenges()) {
    if (c.scheme.empty() || c.scheme.find_first_of(" \t,=\"\r\n") != std::string::npos)
      __builtin_trap();
  }
  (void)answer.KeepsConnection();
  AnswerBody body(answer.BodyKind(), answer.ContentLength());
  while (body.state() == AnswerBody::State::NeedMore) {
    const size_t wanted = body.Wanted();
    if (wanted == 0) __builtin_trap();
    if (stream.empty()) {
      body.End();
      break;
    }
    const std::string_view read = stream.substr(0, std::min(wanted, cut));
    const size_t taken = body.Feed(read);
    if (taken > read.size() || (taken == 0 && body.state() == AnswerBody::State::NeedMore))
      __builtin_trap();
    stream.remove_prefix(taken);
  }
  if (body.state() == AnswerBody::State::Complete && body.Feed("x") != 0) __builtin_trap();
  return 0;
}
