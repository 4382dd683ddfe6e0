// The proxy's answer to a CONNECT request: exactly its header's bytes are
// taken, however they arrive, and what it says is read off them.
#include "receive/proxy_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

TEST(ProxyAnswer, TakesTheHeaderAndNotOneByteMoreWhateverTheCuts) {
  struct Case {
    std::string answer;
    int code;
    int64_t contentLength;
    bool established;
  } cases[] = {
      {"HTTP/1.0 200 Connection established\r\n\r\n", 200, -1, true},
      {"HTTP/1.1 200 OK\r\nProxy-Agent: x\r\n\r\n", 200, -1, false},
      {"HTTP/1.1 407 Proxy Authentication Required\r\ncontent-LENGTH:  12\r\n\r\n", 407, 12, false},
      {"HTTP/1.1 2000 Odd\r\n\r\n", -1, -1, false},
      {"HTTP/1.1 20x Odd\r\n\r\n", -1, -1, false},
  };
  const std::string after =
      "\x05"
      "00003abc";  // the server's first bytes
  for (const Case& c : cases) {
    for (size_t cut : {size_t{1}, size_t{3}, c.answer.size() + after.size()}) {
      SCOPED_TRACE(c.answer + " cut " + std::to_string(cut));
      const std::string stream = c.answer + after;
      ProxyAnswer answer;
      size_t used = 0;
      for (size_t at = 0; at < stream.size() && answer.state() == ProxyAnswer::State::NeedMore;
           at += cut)
        used += answer.Feed(std::string_view(stream).substr(at, cut));
      ASSERT_EQ(answer.state(), ProxyAnswer::State::Complete);
      EXPECT_EQ(used, c.answer.size());
      EXPECT_EQ(answer.StatusCode(), c.code);
      EXPECT_EQ(answer.ContentLength(), c.contentLength);
      EXPECT_EQ(answer.SaysEstablished(), c.established);
      EXPECT_EQ(answer.StatusLine(), c.answer.substr(0, c.answer.find("\r\n")));
    }
  }
}

// Where the server's bytes may come instead, bytes that do not start with
// "HTTP/" are not taken; where an answer is due, whatever comes is it.
TEST(ProxyAnswer, ServerBytesAreNoAnswerAndAnOverlongHeaderIsNone) {
  ProxyAnswer strict;
  EXPECT_EQ(strict.Feed("HTTP"), 4u);
  EXPECT_EQ(strict.Feed("X 200"), 0u);
  EXPECT_EQ(strict.state(), ProxyAnswer::State::Malformed);

  ProxyAnswer lenient(false);
  EXPECT_EQ(lenient.Feed("SSH-2.0-OpenSSH\r\n\r\nrest"), 19u);
  EXPECT_EQ(lenient.state(), ProxyAnswer::State::Complete);
  EXPECT_EQ(lenient.StatusCode(), -1);

  ProxyAnswer overlong;
  overlong.Feed("HTTP/1.1 200 OK\r\nX: " + std::string(ProxyAnswer::kMaxHeader, 'a'));
  EXPECT_EQ(overlong.state(), ProxyAnswer::State::Malformed);
}

}  // namespace
}  // namespace corvane
