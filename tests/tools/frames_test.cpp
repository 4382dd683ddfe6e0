// The sans-I/O pieces of the tools: the framing encoders checked against
// independent oracles (zlib's own uncompress, the component's DecryptText),
// request reading cut at every position, and the event text escaping.
#if !defined(_WIN32)

#include "tools/common/frames.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "codec/des.h"
#include "codec/keys.h"
#include "tools/common/backend.h"
#include "tools/common/event_text.h"
#include "tools/common/requests.h"

namespace corvane::tools {
namespace {

const std::string kSessionKey = "1122334455667788";

// Splits "HTTP/1.1 200 OK" CRLF "Content-Length: N" CRLF CRLF body; the body
// must be exactly N bytes.
std::string BodyOf(const std::string& response) {
  const std::string prefix = "HTTP/1.1 200 OK\r\nContent-Length: ";
  EXPECT_EQ(response.compare(0, prefix.size(), prefix), 0) << response;
  const size_t end = response.find("\r\n\r\n");
  EXPECT_NE(end, std::string::npos);
  const size_t length = std::stoul(response.substr(prefix.size(), end - prefix.size()));
  std::string body = response.substr(end + 4);
  EXPECT_EQ(body.size(), length);
  return body;
}

std::string Uncompress(const std::string& payload, size_t expected) {
  std::string out(expected + 64, '\0');
  uLongf n = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &n,
                       reinterpret_cast<const Bytef*>(payload.data()),
                       static_cast<uLong>(payload.size())),
            Z_OK);
  out.resize(n);
  return out;
}

std::string Decrypt(const std::string& cipher, std::string_view key) {
  auto plain = DecryptText(key, reinterpret_cast<const unsigned char*>(cipher.data()),
                           static_cast<int32_t>(cipher.size()));
  EXPECT_TRUE(plain);
  EXPECT_EQ(plain[cipher.size()], 0);
  return std::string(reinterpret_cast<const char*>(plain.get()), cipher.size());
}

std::string Padded(std::string text) {
  text.resize((text.size() + 7) / 8 * 8, '\0');
  return text;
}

struct BlockCase {
  const char* name;
  std::string block;
};

std::vector<BlockCase> Blocks() {
  std::string feed;
  for (int i = 0; i < 40; ++i) feed += kStx + FeedMessage(i, 120, 1000 + i);
  return {
      {"one short message", JoinMessages({"70=10000|394=" + kSessionKey})},
      {"exactly one cipher block", JoinMessages({"a=123"})},  // STX + 7 = 8 bytes
      {"several messages", JoinMessages({"a=1", "b=2|c=3", ""})},
      {"a feed of 40", feed},
      {"binary-ish bytes", std::string("\x02\x7f\x80\xff|x=\x01", 8)},
  };
}

TEST(FramesTest, EachFramingDecodesBackToTheBlockWithIndependentOracles) {
  for (const BlockCase& c : Blocks()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BodyOf(PlainResponse(c.block)), c.block);

    for (unsigned char marker : {kMarkerFixedKey, kMarkerSessionKey}) {
      // Encrypted: marker, five digits of the ciphertext length, ciphertext.
      const std::string body = BodyOf(EncryptedResponse(c.block, kSessionKey, marker));
      ASSERT_GE(body.size(), 6u);
      EXPECT_EQ(static_cast<unsigned char>(body[0]), marker);
      const std::string cipher = body.substr(6);
      EXPECT_EQ(std::stoul(body.substr(1, 5)), cipher.size());
      EXPECT_EQ(cipher.size() % 8, 0u);
      EXPECT_EQ(Decrypt(cipher, kSessionKey), Padded(c.block));

      // Compressed and encrypted: DES(zlib(block + 0)) padded to 8.
      const std::string frame = BodyOf(CompressedEncryptedResponse(c.block, kSessionKey, marker));
      EXPECT_EQ(static_cast<unsigned char>(frame[0]), marker);
      const std::string payload = frame.substr(6);
      EXPECT_EQ(std::stoul(frame.substr(1, 5)), payload.size());
      const std::string zlib = Decrypt(payload, kSessionKey);
      // Trailing padding zeros after the zlib stream are ignored by inflation.
      z_stream z{};
      ASSERT_EQ(inflateInit(&z), Z_OK);
      std::string text(c.block.size() + 16, '\0');
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zlib.data()));
      z.avail_in = static_cast<uInt>(zlib.size());
      z.next_out = reinterpret_cast<Bytef*>(text.data());
      z.avail_out = static_cast<uInt>(text.size());
      EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
      text.resize(z.total_out);
      inflateEnd(&z);
      EXPECT_EQ(text, c.block + std::string(1, '\0'));
    }

    // Compressed: 0x05, five digits, zlib(block + one zero byte).
    const std::string frame = BodyOf(CompressedResponse(c.block));
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), kMarkerCompressed);
    const std::string payload = frame.substr(6);
    EXPECT_EQ(std::stoul(frame.substr(1, 5)), payload.size());
    EXPECT_EQ(Uncompress(payload, c.block.size() + 1), c.block + std::string(1, '\0'));
  }
}

TEST(FramesTest, PayloadsStayWithinTheReceiversTenToOneInflationBound) {
  // Text that deflates far better than 10:1 must still inflate completely on
  // older receivers, which stop at 10 output bytes per payload byte.
  for (size_t n : {size_t{10}, size_t{200}, size_t{5000}, size_t{60000}}) {
    const std::string text(n, 'a');
    const std::string payload = ZlibPayload(text);
    EXPECT_LE(text.size() + 1, kMaxInflateRatio * payload.size()) << n;
    EXPECT_EQ(Uncompress(payload, n + 1), text + std::string(1, '\0'));
  }
}

TEST(FramesTest, PayloadsPastFiveDigitsAreRefused) {
  std::string big(kMaxFramePayload + 1, 'x');
  EXPECT_THROW(EncryptedResponse(big, kSessionKey, kMarkerSessionKey), std::length_error);
  // Bytes that do not compress stay past the limit after compression too.
  std::string noisy(120000, '\0');
  uint32_t state = 12345;
  for (char& ch : noisy) {
    state = state * 1103515245u + 12345u;
    ch = static_cast<char>(state >> 24);
  }
  EXPECT_THROW(CompressedResponse(noisy), std::length_error);
  EXPECT_NO_THROW(PlainResponse(big));
}

TEST(FramesTest, EncoderUsesTheFixedKeyForTheFirstResponsesOnly) {
  struct Case {
    Framing framing;
    int fixedResponses;
    std::vector<unsigned char> markers;  // of four responses in a row
  };
  const Case cases[] = {
      {Framing::kEncrypted, 1, {0x06, 0x07, 0x07, 0x07}},
      {Framing::kCompressedEncrypted, 1, {0x06, 0x07, 0x07, 0x07}},
      {Framing::kCompressedEncrypted, 0, {0x07, 0x07, 0x07, 0x07}},
      {Framing::kEncrypted, 2, {0x06, 0x06, 0x07, 0x07}},
      {Framing::kCompressed, 1, {0x05, 0x05, 0x05, 0x05}},
  };
  const std::string block = JoinMessages({"x=1"});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(FramingName(c.framing)) + " fixed " +
                 std::to_string(c.fixedResponses));
    FrameEncoder encoder(c.framing, kSessionKey, c.fixedResponses);
    for (unsigned char marker : c.markers) {
      const std::string body = BodyOf(encoder.Encode(block));
      EXPECT_EQ(static_cast<unsigned char>(body[0]), marker);
      if (c.framing == Framing::kEncrypted) {
        const std::string_view key = marker == kMarkerFixedKey ? g_strFixedKey : kSessionKey;
        EXPECT_EQ(Decrypt(body.substr(6), key), Padded(block));
      }
    }
  }
  FrameEncoder plain(Framing::kPlain, kSessionKey);
  EXPECT_EQ(plain.Encode(block), PlainResponse(block));
}

TEST(FramesTest, FramingNamesRoundTrip) {
  for (Framing f : {Framing::kPlain, Framing::kCompressed, Framing::kEncrypted,
                    Framing::kCompressedEncrypted}) {
    EXPECT_EQ(ParseFraming(FramingName(f)), f);
  }
  EXPECT_FALSE(ParseFraming("zip"));
  EXPECT_TRUE(FramingCompressed(Framing::kCompressedEncrypted));
  EXPECT_FALSE(FramingEncrypted(Framing::kCompressed));
}

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
