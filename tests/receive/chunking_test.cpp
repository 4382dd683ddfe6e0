// A well-formed stream gives the same blocks however it is cut into chunks: at
// every single position, at random sizes, and byte by byte, for the plain,
// encrypted, compressed and compressed-and-encrypted framings.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "streams.h"

namespace corvane::test {
namespace {

using Blocks = std::vector<std::string>;

enum class Framing { Plain, Encrypted, Compressed, CompressedEncrypted };

struct Stream {
  std::string bytes;
  Blocks blocks;  // what the host must receive, in order
};

std::string Wrap(Framing framing, const std::string& text) {
  switch (framing) {
    case Framing::Plain:
      return Response(text, kFeedLines);
    case Framing::Encrypted:
      return Response(EncryptedBody(text, kSession), kFeedLines);
    case Framing::Compressed:
      return Response(CompressedFrame(text), kFeedLines);
    case Framing::CompressedEncrypted:
      return Response(CompressedFrame(text, kSession), kFeedLines);
  }
  return {};
}

// Responses of assorted sizes; with big, one whose body or frame is longer
// than a chunk.
Stream MakeStream(Framing framing, bool big, uint32_t seed) {
  Stream s;
  std::mt19937 rng(seed);
  const int count = big ? 8 : 6;
  for (int i = 0; i < count; ++i) {
    std::string text = JoinMessages({"70=10000", "1=" + MessageText(rng() % 40, rng())});
    if (i == 2) text = JoinMessages({"k=" + MessageText(300 + rng() % 200, rng())});
    if (big && i == 4) text = JoinMessages({MessageText(50000, rng())});
    s.bytes += Wrap(framing, text);
    s.blocks.push_back(text);
  }
  return s;
}

class Chunking : public ::testing::TestWithParam<Framing> {
 protected:
  Blocks Run(const std::string& bytes, const std::vector<size_t>& sizes) const {
    // Session-key traffic throughout: the fixed-key switch depends on where
    // the first chunk ends.
    RecordingHost host;
    host.SetSessionKey(kSessionKey);
    host.UseFixedKey(false);
    host.compression =
        GetParam() == Framing::Compressed || GetParam() == Framing::CompressedEncrypted;
    host.encryption =
        GetParam() == Framing::Encrypted || GetParam() == Framing::CompressedEncrypted;
    HostedAssembler assembler(host);
    Feed(assembler, bytes, sizes);
    return host.blocks;
  }
};

TEST_P(Chunking, WholeStreamInOneChunk) {
  const Stream s = MakeStream(GetParam(), false, 1);
  EXPECT_EQ(Run(s.bytes, {s.bytes.size()}), s.blocks);
}

TEST_P(Chunking, CutAtEveryPosition) {
  const Stream s = MakeStream(GetParam(), false, 2);
  for (size_t cut = 1; cut < s.bytes.size(); ++cut) {
    ASSERT_EQ(Run(s.bytes, {cut, s.bytes.size()}), s.blocks) << "cut after byte " << cut;
  }
}

// Two cuts close together: a header end, a frame's digits or its trailing
// "HTTP" spread over three chunks.
TEST_P(Chunking, ShortMiddleChunkAtEveryPosition) {
  const Stream s = MakeStream(GetParam(), false, 3);
  for (size_t cut = 1; cut < s.bytes.size(); ++cut) {
    for (size_t middle : {1u, 2u, 3u}) {
      ASSERT_EQ(Run(s.bytes, {cut, middle, s.bytes.size()}), s.blocks)
          << "chunks of " << cut << ", " << middle << ", rest";
    }
  }
}

TEST_P(Chunking, ByteByByte) {
  const Stream s = MakeStream(GetParam(), true, 4);
  EXPECT_EQ(Run(s.bytes, {1}), s.blocks);
}

TEST_P(Chunking, RandomSizes) {
  const Stream s = MakeStream(GetParam(), true, 5);
  std::mt19937 rng(6);
  for (int round = 0; round < 60; ++round) {
    // Alternate small and reader-sized chunks.
    const size_t limit = round % 2 == 0 ? 64 : 32768;
    std::vector<size_t> sizes;
    size_t total = 0;
    while (total < s.bytes.size()) {
      sizes.push_back(1 + rng() % limit);
      total += sizes.back();
    }
    ASSERT_EQ(Run(s.bytes, sizes), s.blocks) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Receive, Chunking,
                         ::testing::Values(Framing::Plain, Framing::Encrypted, Framing::Compressed,
                                           Framing::CompressedEncrypted),
                         [](const ::testing::TestParamInfo<Framing>& info) {
                           switch (info.param) {
                             case Framing::Plain:
                               return std::string("Plain");
                             case Framing::Encrypted:
                               return std::string("Encrypted");
                             case Framing::Compressed:
                               return std::string("Compressed");
                             case Framing::CompressedEncrypted:
                               return std::string("CompressedEncrypted");
                           }
                           return std::string();
                         });

}  // namespace
}  // namespace corvane::test
