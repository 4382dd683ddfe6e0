// The proxy's answer to a CONNECT request: exactly its header's bytes are
// taken, however they arrive, and what it says is read off them.
#include "receive/proxy_answer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

ProxyAnswer Answer(const std::string& header) {
  ProxyAnswer answer;
  answer.Feed(header);
  return answer;
}

// Every Proxy-Authenticate header, several challenges to a header, token68
// and auth-params told apart by what follows the '='.
TEST(ProxyAnswer, ReadsEveryChallenge) {
  struct Case {
    std::string headers;
    std::string challenges;  // scheme[:token] joined by ' '
  } cases[] = {
      {"Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n"
       "Proxy-Authenticate: Basic realm=\"Squid\"\r\n",
       "Negotiate NTLM Basic"},
      {"proxy-authenticate:NTLM TlRMTVNTUAACAAAA+/==\r\n", "NTLM:TlRMTVNTUAACAAAA+/=="},
      {"Proxy-Authenticate: Basic realm=\"a, NTLM b\", charset=UTF-8, Negotiate YII=, NTLM\r\n",
       "Basic Negotiate:YII= NTLM"},
      {"Proxy-Authenticate: Digest realm=x,qop=\"auth\",  ,Negotiate\r\n", "Digest Negotiate"},
      {"Proxy-Authenticate: , \"odd\" Negotiate\r\n", ""},
      {"WWW-Authenticate: Negotiate\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    std::string got;
    for (const AuthChallenge& challenge :
         Answer("HTTP/1.1 407 Auth\r\n" + c.headers + "\r\n").Challenges())
      got += (got.empty() ? "" : " ") + challenge.scheme +
             (challenge.token.empty() ? "" : ":" + challenge.token);
    EXPECT_EQ(got, c.challenges);
  }
}

TEST(ProxyAnswer, ChoosesNegotiateThenNtlmThenBasicWithCredentialsOnly) {
  const std::vector<AuthChallenge> all{{"basic", ""}, {"ntlm", ""}, {"NEGOTIATE", ""}};
  const std::vector<AuthChallenge> basicAndNtlm{{"Basic", ""}, {"NTLM", ""}};
  const std::vector<AuthChallenge> basic{{"Basic", ""}};
  const std::vector<AuthChallenge> other{{"Digest", ""}};
  struct Case {
    const std::vector<AuthChallenge>* offers;
    bool integrated;
    bool credentials;
    ProxyAuthScheme chosen;
  } cases[] = {
      {&all, true, true, ProxyAuthScheme::Negotiate},
      {&basicAndNtlm, true, true, ProxyAuthScheme::Ntlm},
      {&all, false, true, ProxyAuthScheme::Basic},
      {&all, false, false, ProxyAuthScheme::None},
      {&basic, true, false, ProxyAuthScheme::None},
      {&other, true, true, ProxyAuthScheme::None},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseProxyAuth(*c.offers, c.integrated, c.credentials), c.chosen);
}

// The body is read to its end and not one byte further, however it is cut;
// whether the connection then serves the next round.
TEST(ProxyAnswer, ReadsTheBodyExactlyAndSaysWhetherTheConnectionStays) {
  struct Case {
    std::string headers;
    std::string body;  // then "NEXT" follows on the wire
    AnswerBody::State atEnd;
    bool keeps;
  } cases[] = {
      {"Content-Length: 5\r\n", "abcde", AnswerBody::State::Complete, true},
      {"Content-Length: 0\r\n", "", AnswerBody::State::Complete, true},
      {"Transfer-Encoding: chunked\r\nContent-Length: 3\r\n",
       "4;ext=1\r\nabcd\r\nA\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n",
       AnswerBody::State::Complete, true},
      {"Transfer-Encoding: gzip, chunked\r\n", "0\r\n\r\n", AnswerBody::State::Complete, true},
      {"Content-Length: 2\r\nConnection: close\r\n", "ab", AnswerBody::State::Complete, false},
      {"Proxy-Connection: Close\r\nContent-Length: 2\r\n", "ab", AnswerBody::State::Complete,
       false},
      {"Connection: close\r\n", "all of it", AnswerBody::State::NeedMore, false},
      {"Transfer-Encoding: chunked\r\n", "zz\r\n", AnswerBody::State::Malformed, true},
      {"Transfer-Encoding: chunked\r\n", "2\r\nabX", AnswerBody::State::Malformed, true},
  };
  for (const Case& c : cases) {
    for (size_t cut : {size_t{1}, size_t{4096}}) {
      SCOPED_TRACE(c.headers + " cut " + std::to_string(cut));
      const ProxyAnswer answer = Answer("HTTP/1.1 407 Auth\r\n" + c.headers + "\r\n");
      EXPECT_EQ(answer.KeepsConnection(), c.keeps);
      AnswerBody body(answer.BodyKind(), answer.ContentLength());
      const std::string wire = c.body + "NEXT";
      size_t used = 0;
      while (body.state() == AnswerBody::State::NeedMore && used < c.body.size()) {
        const size_t n = std::min({cut, body.Wanted(), wire.size() - used});
        const size_t took = body.Feed(std::string_view(wire).substr(used, n));
        if (took == 0) break;
        used += took;
      }
      EXPECT_EQ(body.state(), c.atEnd);
      if (c.atEnd == AnswerBody::State::Complete) {
        EXPECT_EQ(used, c.body.size());
      }
    }
  }
  // HTTP/1.0 keeps the connection only when it says keep-alive; a body that
  // runs to the end is complete when the connection ends.
  EXPECT_FALSE(Answer("HTTP/1.0 407 A\r\nContent-Length: 0\r\n\r\n").KeepsConnection());
  EXPECT_TRUE(Answer("HTTP/1.0 407 A\r\nContent-Length: 0\r\nProxy-Connection: keep-alive\r\n\r\n")
                  .KeepsConnection());
  AnswerBody untilClose(ProxyAnswer::Body::UntilClose, -1);
  untilClose.End();
  EXPECT_EQ(untilClose.state(), AnswerBody::State::Complete);
  AnswerBody cut(ProxyAnswer::Body::Length, 5);
  cut.Feed("ab");
  cut.End();
  EXPECT_EQ(cut.state(), AnswerBody::State::Malformed);
}

}  // namespace
}  // namespace corvane
