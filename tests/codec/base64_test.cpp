// Base64: published vectors (RFC 4648 section 10), OpenSSL's encoder as an
// oracle over every length class and byte value, the page-sized buffers, and
// the decoding direction's rejection of malformed text.
#include "codec/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef CORVANE_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace corvane {
namespace {

struct Vector {
  const char* bytes;
  const char* text;
};

TEST(Base64, KnownVectors) {
  const Vector vectors[] = {
      // RFC 4648 section 10.
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // Proxy credentials as the component forms them.
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"abcd", "YWJjZA=="},
      {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(Base64Encode(v.bytes), v.text) << v.bytes;
    CBase64 codec;
    codec.EncodeText(v.bytes);
    ASSERT_NE(codec.GetText(), nullptr);
    EXPECT_STREQ(codec.GetText(), v.text);
    EXPECT_EQ(codec.TextLength(), std::strlen(v.text));

    CBase64 decoder;
    ASSERT_TRUE(decoder.DecodeText(v.text)) << v.text;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoder.GetBytes()), decoder.ByteLength()),
              v.bytes);
  }
}

TEST(Base64, EncodesEveryByteValue) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string text = Base64Encode(all);
  EXPECT_EQ(text.size(), 344u);
  EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(text.substr(text.size() - 12), "+fr7/P3+/w==");
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

#ifdef CORVANE_HAVE_OPENSSL
TEST(Base64, MatchesOpenSslOverLengths) {
  std::mt19937 rng(20240901);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t n = 0; n <= 5000; n += (n < 64 ? 1 : 97)) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(rng));
    std::vector<unsigned char> expected(4 * ((n + 2) / 3) + 1);
    const int len = EVP_EncodeBlock(
        expected.data(), reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(n));
    ASSERT_EQ(Base64Encode(bytes), std::string(reinterpret_cast<char*>(expected.data()), len))
        << "length " << n;

    CBase64 decoder;
    ASSERT_TRUE(decoder.Decode(reinterpret_cast<char*>(expected.data()), len));
    ASSERT_EQ(decoder.ByteLength(), n);
    ASSERT_EQ(std::memcmp(decoder.GetBytes(), bytes.data(), n), 0);
  }
}
#endif

TEST(Base64, BuffersAreWholePagesStrictlyLargerThanRequested) {
  struct Case {
    uint32_t inputBytes;
    uint32_t byteCapacity;
    uint32_t textCapacity;  // the text reserve is 2 x input
  };
  const Case cases[] = {
      {0, 4096, 4096},    {1, 4096, 4096},     {2047, 4096, 4096},  {2048, 4096, 8192},
      {4095, 4096, 8192}, {4096, 8192, 12288}, {6144, 8192, 16384},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> input(c.inputBytes, 'x');
    CBase64 codec;
    codec.Encode(input.data(), c.inputBytes);
    EXPECT_EQ(codec.ByteCapacity(), c.byteCapacity) << c.inputBytes;
    EXPECT_EQ(codec.TextCapacity(), c.textCapacity) << c.inputBytes;
    // The text is zero-terminated inside its buffer.
    EXPECT_EQ(codec.GetText()[codec.TextLength()], '\0');
    EXPECT_EQ(codec.TextLength(), 4 * ((c.inputBytes + 2) / 3));
  }
}

TEST(Base64, ReuseShrinksTextAndLeavesNoStaleCharacters) {
  CBase64 codec;
  codec.EncodeText("a long first input that fills more characters");
  const char* before = codec.GetText();
  codec.EncodeText("ab");
  EXPECT_EQ(codec.GetText(), before);  // capacity suffices: buffer kept
  EXPECT_STREQ(codec.GetText(), "YWI=");
}

TEST(Base64, DecodingSkipsWhiteSpace) {
  CBase64 codec;
  ASSERT_TRUE(codec.DecodeText(" Zm9v\r\nYmFy\t\x07\x0b\x0c"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(codec.GetBytes()), codec.ByteLength()),
            "foobar");
}

TEST(Base64, IsSpaceIsBytesSevenToThirteenAndBlank) {
  for (int c = 0; c < 256; ++c) {
    const bool expected = (c >= 7 && c <= 13) || c == 32;
    EXPECT_EQ(CBase64::IsSpace(static_cast<unsigned char>(c)), expected) << c;
  }
}

TEST(Base64, DecodingRejectsMalformedText) {
  const char* bad[] = {
      "Zm9",       // not a whole group
      "Zm9vY",     // ditto after a whole group
      "Zg==Zm9v",  // padding before the last group
      "Z===",      // three padding characters
      "Zm=v",      // padding inside a group
      "Zm9*",      // outside the alphabet
      "Zm9v\x80\x80\x80\x80",
      "====",
  };
  for (const char* text : bad) {
    CBase64 codec;
    EXPECT_FALSE(codec.DecodeText(text)) << text;
    EXPECT_EQ(codec.ByteLength(), 0u) << text;
  }
}

TEST(Base64, GroupHelpersInvertEachOther) {
  for (int v = 0; v < (1 << 24); v += 4099) {
    const unsigned char in[3] = {static_cast<unsigned char>(v >> 16),
                                 static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    unsigned char sextets[4];
    CBase64::SplitGroup(in, sextets);
    for (unsigned char s : sextets) ASSERT_LT(s, 64);
    unsigned char out[3];
    CBase64::JoinGroup(sextets, out);
    ASSERT_EQ(std::memcmp(in, out, 3), 0);
  }
}

}  // namespace
}  // namespace corvane
