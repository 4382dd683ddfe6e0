// InflateText against payloads made by zlib's own compressor: texts with and
// without their terminating zero, highly compressible texts, damaged, cut and
// foreign streams, trailing bytes, and the absolute output cap.
#include "codec/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace corvane {
namespace {

std::vector<unsigned char> Deflate(const std::string& bytes, int level = Z_DEFAULT_COMPRESSION,
                                   int windowBits = 15) {
  z_stream s;
  std::memset(&s, 0, sizeof s);
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<unsigned char> out(deflateBound(&s, static_cast<uLong>(bytes.size())) + 32);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  s.avail_in = static_cast<uInt>(bytes.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string WithZero(std::string text) {
  text.push_back('\0');
  return text;
}

std::string Inflate(const std::vector<unsigned char>& payload) {
  return InflateText(payload.data(), static_cast<int32_t>(payload.size()));
}

TEST(InflateText, TextsRoundTrip) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> printable(0x20, 0x7E);
  std::string random(20000, ' ');
  for (char& c : random) c = static_cast<char>(printable(rng));
  std::string quotes;
  for (int i = 0; i < 500; ++i)
    quotes +=
        "\x02"
        "1=NIFTY|2=" +
        std::to_string(17000 + i) + "|3=42|";
  const std::string texts[] = {"",
                               "a",
                               "\x02"
                               "70=10000|97=Logon success",
                               random,
                               quotes,
                               std::string(100000, 'a')};  // far beyond 10 x its payload
  for (const std::string& text : texts) {
    for (int level : {0, 1, 9}) {
      EXPECT_EQ(Inflate(Deflate(WithZero(text), level)), text)
          << "length " << text.size() << " level " << level;
    }
  }
}

TEST(InflateText, TextEndsAtFirstZeroByte) {
  EXPECT_EQ(Inflate(Deflate(std::string("first\0second\0", 13))), "first");
  // Without a zero byte the text is everything inflated, and nothing else.
  EXPECT_EQ(Inflate(Deflate("abc")), "abc");
}

TEST(InflateText, BytesAfterTheStreamAreIgnored) {
  auto payload = Deflate(WithZero("message"));
  const auto second = Deflate(WithZero("another"));
  payload.insert(payload.end(), second.begin(), second.end());
  payload.push_back(0xFF);
  EXPECT_EQ(Inflate(payload), "message");
  // No zero byte in the first stream: still only its text.
  auto unterminated = Deflate("abc");
  unterminated.insert(unterminated.end(), second.begin(), second.end());
  EXPECT_EQ(Inflate(unterminated), "abc");
}

TEST(InflateText, NothingToInflateGivesEmptyText) {
  const unsigned char one = 0x41;
  const unsigned char header[2] = {0x78, 0x9C};
  EXPECT_EQ(InflateText(nullptr, 10), "");
  EXPECT_EQ(InflateText(header, 0), "");
  EXPECT_EQ(InflateText(header, -5), "");
  EXPECT_EQ(InflateText(&one, 1), "");                       // not zlib data
  EXPECT_EQ(InflateText(header, 2), "");                     // header only
  EXPECT_EQ(Inflate(Deflate(WithZero("raw"), 6, -15)), "");  // raw deflate, no zlib header
  EXPECT_EQ(Inflate(Deflate(WithZero("gz"), 6, 31)), "");    // gzip wrapper
}

TEST(InflateText, CutOrDamagedStreamGivesAPrefix) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += std::to_string(i * 7919) + "|";
  const auto payload = Deflate(WithZero(text), 1);
  for (size_t cut : {size_t{3}, payload.size() / 4, payload.size() / 2}) {
    const std::string got = InflateText(payload.data(), static_cast<int32_t>(cut));
    EXPECT_EQ(text.compare(0, got.size(), got), 0) << cut;
    EXPECT_LT(got.size(), text.size()) << cut;
  }
  // Cut inside the trailer: the text and its zero byte were already inflated.
  EXPECT_EQ(InflateText(payload.data(), static_cast<int32_t>(payload.size() - 3)), text);
  // A wrong Adler-32 trailer: the text was already inflated before the check.
  auto damaged = payload;
  damaged.back() ^= 0x01;
  EXPECT_EQ(Inflate(damaged), text);
  // Damage in the middle: whatever came before it, never more than the text.
  damaged = payload;
  damaged[damaged.size() / 2] ^= 0x55;
  const std::string got = Inflate(damaged);
  EXPECT_LE(got.size(), text.size() + 65536);
}

TEST(InflateText, StreamNeedingADictionaryGivesEmptyText) {
  z_stream s;
  std::memset(&s, 0, sizeof s);
  ASSERT_EQ(deflateInit(&s, 6), Z_OK);
  const char dict[] = "dictionary";
  ASSERT_EQ(deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dict), sizeof dict - 1), Z_OK);
  std::string text = WithZero("dictionary text");
  unsigned char out[256];
  s.next_in = reinterpret_cast<Bytef*>(text.data());
  s.avail_in = static_cast<uInt>(text.size());
  s.next_out = out;
  s.avail_out = sizeof out;
  ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  const auto n = static_cast<int32_t>(s.total_out);
  deflateEnd(&s);
  EXPECT_EQ(InflateText(out, n), "");
}

TEST(InflateText, OutputIsCappedAbsolutely) {
  // A stream of zero-free bytes longer than the cap, made without holding it.
  z_stream s;
  std::memset(&s, 0, sizeof s);
  ASSERT_EQ(deflateInit(&s, 9), Z_OK);
  const std::string chunk(1 << 20, 'a');
  std::vector<unsigned char> payload(256 * 1024);
  s.next_out = payload.data();
  s.avail_out = static_cast<uInt>(payload.size());
  const size_t chunks = kMaxInflatedText / chunk.size() + 2;
  for (size_t i = 0; i < chunks; ++i) {
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.data()));
    s.avail_in = static_cast<uInt>(chunk.size());
    ASSERT_EQ(deflate(&s, i + 1 == chunks ? Z_FINISH : Z_NO_FLUSH),
              i + 1 == chunks ? Z_STREAM_END : Z_OK);
  }
  payload.resize(s.total_out);
  deflateEnd(&s);
  const std::string text = Inflate(payload);
  EXPECT_EQ(text.size(), kMaxInflatedText);
  EXPECT_EQ(text.find_first_not_of('a'), std::string::npos);
}

TEST(InflateText, MutatedPayloadsStayInBounds) {
  // Flipped, dropped and random bytes in real payloads: no fault (the address
  // sanitizer build watches), and never more text than a zero-free stream of
  // that payload could yield.
  std::string text;
  for (int i = 0; i < 300; ++i)
    text +=
        "\x02"
        "7=" +
        std::to_string(i * 31) + "|9=ABC|";
  const auto payload = Deflate(WithZero(text), 6);
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    auto mutated = payload;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % mutated.size();
      switch (rng() % 3) {
        case 0:
          mutated[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
          break;
        case 1:
          mutated[at] = static_cast<unsigned char>(rng());
          break;
        default:
          mutated.resize(at + 1);
          break;
      }
    }
    const std::string got = Inflate(mutated);
    ASSERT_LE(got.size(), 1032 * mutated.size()) << round;
    ASSERT_EQ(got.find('\0'), std::string::npos) << round;
  }
}

}  // namespace
}  // namespace corvane
