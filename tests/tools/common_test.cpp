// The sans-I/O pieces of the tools: the back end's cipher against OpenSSL,
// request reading cut at every position, the event text escaping and the feed
// records.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "codec/keys.h"
#include "tools/common/backend.h"
#include "tools/common/cipher.h"
#include "tools/common/event_text.h"
#include "tools/common/requests.h"

#ifdef CORVANE_HAVE_OPENSSL
#include "tests/codec/openssl_des.h"
#endif

namespace corvane::tools {
namespace {

#ifdef CORVANE_HAVE_OPENSSL

// The back end's cipher is the wire's: under the fixed key and a session key,
// whole blocks encipher as OpenSSL's two-key triple DES does.
TEST(ComponentEncipherTest, MatchesOpenSsl) {
  std::string blocks;
  for (int i = 0; i < 40; ++i) blocks += static_cast<char>(i * 37);
  for (std::string_view key : {g_strFixedKey, std::string_view("5820417396284051")}) {
    for (size_t n : {size_t{8}, size_t{16}, size_t{40}}) {
      const std::string_view plain = std::string_view(blocks).substr(0, n);
      EXPECT_EQ(ComponentEncipher(key, plain), test::OpenSslEncipher(key, plain))
          << key << " " << n;
    }
  }
}

#endif  // CORVANE_HAVE_OPENSSL

std::string Request(const std::string& message, const std::string& host = "127.0.0.1") {
  return "Get http://" + host + "/\x02" + message +
         " HTTP/1.1\r\nAccept: /*\r\nAccept-Language: en-us\r\nHost: " + host +
         "\r\nConnection: Keep-Alive\r\n\r\n";
}

TEST(RequestReaderTest, MessagesComeOutWholeWhereverTheStreamIsCut) {
  const std::vector<std::string> messages = {"1=logon|2=u", "", "a b  c|HTTP/1.1 x", "z"};
  std::string stream;
  for (const std::string& m : messages) stream += Request(m);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    for (size_t cut2 : {cut, cut + 1, cut + 17}) {
      if (cut2 > stream.size()) continue;
      RequestReader reader;
      std::vector<std::string> got;
      reader.Feed(std::string_view(stream).substr(0, cut), got);
      reader.Feed(std::string_view(stream).substr(cut, cut2 - cut), got);
      reader.Feed(std::string_view(stream).substr(cut2), got);
      ASSERT_EQ(got, messages) << "cut at " << cut << " and " << cut2;
      EXPECT_EQ(reader.Buffered(), 0u);
    }
  }
}

TEST(RequestReaderTest, OddRequestLines) {
  EXPECT_EQ(RequestMessage("Get http://h/ HTTP/1.1"), "");  // no STX
  EXPECT_EQ(RequestMessage("Get http://h/\x02m"), "m");     // no version
  EXPECT_EQ(RequestMessage("Get http://h/\x02 HTTP/1.1 HTTP/1.1\r\nHost: h"), " HTTP/1.1");
  RequestReader reader;
  std::vector<std::string> got;
  reader.Feed(std::string(RequestReader::kMaxHeadBytes + 10, 'x'), got);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(reader.Buffered(), 0u);  // an endless head is dropped, not kept
}

TEST(EventTextTest, EscapesEveryByteOutsidePrintableAscii) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"70=10000|Logon success", "70=10000|Logon success"},
      {"a\\b", "a\\\\b"},
      {std::string("\x00\x01\x02\x1f", 4), "\\x00\\x01\\x02\\x1f"},
      {" ~\x7f", " ~\\x7f"},
      {"\x80\xab\xff", "\\x80\\xab\\xff"},
      {"line\r\nnext\t", "line\\x0d\\x0anext\\x09"},
      {"\\x41", "\\\\x41"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeEventText(c.in), c.out) << c.out;
  // Every byte value: printable ones (but backslash) stay, the rest become 4 characters.
  for (int b = 0; b < 256; ++b) {
    const std::string escaped = EscapeEventText(std::string(1, static_cast<char>(b)));
    const bool plain = b >= 0x20 && b <= 0x7e && b != '\\';
    EXPECT_EQ(escaped.size(), plain ? 1u : (b == '\\' ? 2u : 4u)) << b;
  }
}

TEST(FeedMessageTest, RecordsHaveTheirTagsAndSize) {
  for (int size : {1, 40, 64, 500}) {
    const std::string m = FeedMessage(12345, size, 987654321);
    EXPECT_EQ(m.rfind("35=X|34=12345|", 0), 0u) << m;
    EXPECT_NE(m.find("|60=987654321"), std::string::npos) << m;
    EXPECT_EQ(m.find('\x02'), std::string::npos);
    if (size >= 64) {
      EXPECT_EQ(m.size(), static_cast<size_t>(size));
    }
  }
  EXPECT_EQ(LogonResponseText(BackendOptions{}), "70=10000|394=5820417396284051");
  BackendOptions o;
  o.logonCode = "10004";
  o.logonExtra = "97=5";
  EXPECT_EQ(LogonResponseText(o), "70=10004|394=5820417396284051|97=5");
  EXPECT_TRUE(IsSuccessLogonCode("10019"));
  EXPECT_FALSE(IsSuccessLogonCode("10001"));
  EXPECT_FALSE(IsSuccessLogonCode("10000 "));
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
