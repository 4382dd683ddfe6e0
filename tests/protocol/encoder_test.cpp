// The server side's encoder checked against independent oracles: literal
// bytes for the response header, zlib's own inflation for frame payloads and
// OpenSSL's triple DES (natively) for ciphertext.
#include "protocol/encoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>
#include <string>
#include <vector>

#ifdef CORVANE_HAVE_OPENSSL
#include "tests/codec/openssl_des.h"
#endif

namespace corvane::wire {
namespace {

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

// zlib's inflation of a whole stream; padding after its end is ignored.
std::string Inflate(const std::string& payload, size_t capacity) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  std::string text(capacity, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
  z.avail_in = static_cast<uInt>(payload.size());
  z.next_out = reinterpret_cast<Bytef*>(text.data());
  z.avail_out = static_cast<uInt>(text.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  text.resize(z.total_out);
  inflateEnd(&z);
  return text;
}

std::string WithZero(const std::string& text) { return text + std::string(1, '\0'); }

struct BlockCase {
  const char* name;
  std::string block;
};

std::vector<BlockCase> Blocks() {
  std::string feed;
  for (int i = 0; i < 40; ++i) {
    feed += kStx + std::string("35=X|34=") + std::to_string(i) + "|58=" + std::string(100, 'p');
  }
  return {
      {"one short message", JoinMessages({"70=10000|394=1122334455667788"})},
      {"exactly one cipher block", JoinMessages({"a=123"})},  // STX + 7 = 8 bytes
      {"several messages", JoinMessages({"a=1", "b=2|c=3", ""})},
      {"a feed of 40", feed},
      {"binary-ish bytes", std::string("\x02\x7f\x80\xff|x=\x01", 8)},
  };
}

TEST(Encoder, PlainResponsesByteForByte) {
  EXPECT_EQ(Response(JoinMessages({"a=1", "", "b=2"})),
            "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n\x02"
            "a=1\x02\x02"
            "b=2");
  EXPECT_EQ(Response(""), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(Response("xy", {"Server: feed\r\n", "Connection: keep-alive\r\n"}),
            "HTTP/1.1 200 OK\r\nServer: feed\r\nContent-Length: 2\r\n"
            "Connection: keep-alive\r\n\r\nxy");
  EXPECT_EQ(JoinMessages(std::vector<std::string>{"a", "bc"}),
            "\x02"
            "a\x02"
            "bc");
}

TEST(Encoder, CompressedFramesInflateToTheBlockAndAZero) {
  for (const BlockCase& c : Blocks()) {
    SCOPED_TRACE(c.name);
    const std::string frame = BodyOf(Response(CompressedFrame(c.block)));
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), kMarkerZlib);
    const std::string payload = frame.substr(6);
    EXPECT_EQ(std::stoul(frame.substr(1, 5)), payload.size());
    EXPECT_EQ(Inflate(payload, c.block.size() + 16), WithZero(c.block));
  }
}

TEST(Encoder, PayloadsStayWithinTheReceiversTenToOneInflationBound) {
  // Text that deflates far better than 10:1 must still inflate completely on
  // older receivers, which stop at 10 output bytes per payload byte.
  for (size_t n : {size_t{10}, size_t{200}, size_t{5000}, size_t{60000}}) {
    const std::string text(n, 'a');
    const std::string payload = ZlibPayload(text);
    EXPECT_LE(text.size() + 1, kMaxInflateRatio * payload.size()) << n;
    EXPECT_EQ(Inflate(payload, n + 16), WithZero(text));
  }
}

#ifdef CORVANE_HAVE_OPENSSL

using test::OpenSslDecipher;
using test::OpenSslEncipher;

const std::string kSessionKey = "1122334455667788";

std::string Padded(std::string text) {
  text.resize((text.size() + 7) / 8 * 8, '\0');
  return text;
}

TEST(Encoder, CipheredBodiesDecipherToThePaddedBlock) {
  for (const BlockCase& c : Blocks()) {
    SCOPED_TRACE(c.name);
    for (unsigned char marker : {kMarkerFixedKey, kMarkerSessionKey}) {
      const Cipher cipher{OpenSslEncipher, kSessionKey, marker};
      // Encrypted: marker, five digits of the ciphertext length, ciphertext.
      const std::string body = BodyOf(Response(EncryptedBody(c.block, cipher)));
      ASSERT_GE(body.size(), 6u);
      EXPECT_EQ(static_cast<unsigned char>(body[0]), marker);
      const std::string ciphertext = body.substr(6);
      EXPECT_EQ(std::stoul(body.substr(1, 5)), ciphertext.size());
      EXPECT_EQ(OpenSslDecipher(kSessionKey, ciphertext), Padded(c.block));

      // Compressed and encrypted: the ciphertext of zlib(block + 0) padded to 8.
      const std::string frame = BodyOf(Response(CompressedFrame(c.block, cipher)));
      EXPECT_EQ(static_cast<unsigned char>(frame[0]), marker);
      const std::string payload = frame.substr(6);
      EXPECT_EQ(std::stoul(frame.substr(1, 5)), payload.size());
      EXPECT_EQ(Inflate(OpenSslDecipher(kSessionKey, payload), c.block.size() + 16),
                WithZero(c.block));
    }
  }
}

TEST(Encoder, PayloadsPastFiveDigitsAreRefused) {
  const Cipher cipher{OpenSslEncipher, kSessionKey, kMarkerSessionKey};
  const std::string big(kMaxFramePayload + 1, 'x');
  EXPECT_THROW(EncryptedBody(big, cipher), std::length_error);
  EXPECT_NO_THROW(EncryptedBody(big.substr(0, kMaxFramePayload - 7), cipher));
  // Bytes that do not compress stay past the limit after compression too.
  std::string noisy(120000, '\0');
  uint32_t state = 12345;
  for (char& ch : noisy) {
    state = state * 1103515245u + 12345u;
    ch = static_cast<char>(state >> 24);
  }
  EXPECT_THROW(CompressedFrame(noisy), std::length_error);
  EXPECT_NO_THROW(Response(big));
}

TEST(Encoder, FrameEncoderUsesTheFixedKeyForTheFirstResponsesOnly) {
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
    FrameEncoder encoder(c.framing, OpenSslEncipher, kSessionKey, c.fixedResponses);
    for (unsigned char marker : c.markers) {
      const std::string body = BodyOf(encoder.Encode(block));
      EXPECT_EQ(static_cast<unsigned char>(body[0]), marker);
      const std::string key(marker == kMarkerFixedKey ? kFixedKey : kSessionKey);
      if (c.framing == Framing::kEncrypted) {
        EXPECT_EQ(OpenSslDecipher(key, body.substr(6)), Padded(block));
      } else if (c.framing == Framing::kCompressedEncrypted) {
        EXPECT_EQ(Inflate(OpenSslDecipher(key, body.substr(6)), 64), WithZero(block));
      }
    }
    EXPECT_EQ(encoder.responses(), 4);
  }
  FrameEncoder plain(Framing::kPlain, OpenSslEncipher, kSessionKey);
  EXPECT_EQ(plain.Encode(block), Response(block));
}

#endif  // CORVANE_HAVE_OPENSSL

}  // namespace
}  // namespace corvane::wire
