// Encrypted bodies and compressed frames: the key switch, carried frames and
// the cuts that the frame parser must complete from the following chunks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams.h"

namespace corvane::test {
namespace {

using Blocks = std::vector<std::string>;

const std::string kText = JoinMessages({"70=10000|394=4827365019283746"});
const std::string kNext = JoinMessages({"1=a", "2=b"});

// ---- Encrypted bodies ----

class EncryptedReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    host.SetSessionKey(std::string(kSessionKey));
    host.UseFixedKey(true);
    host.encryption = true;
  }
  RecordingHost host;
  HostedAssembler assembler{host};
};

TEST_F(EncryptedReceive, FirstCallUsesTheFixedKey) {
  const std::string text = JoinMessages({"ab"});  // padded: one cipher block
  const std::string response = Response(EncryptedBody(text, kFixed), kFeedLines);
  ASSERT_NE(response.find("Content-Length: 14"), std::string::npos);
  FeedWhole(assembler, response + Response(EncryptedBody(kNext, kFixed), kFeedLines));
  EXPECT_EQ(host.blocks, (Blocks{text, kNext}));
  EXPECT_EQ(host.UsingFixedKey(), 0);
  // Later calls decrypt with the session key.
  FeedWhole(assembler, Response(EncryptedBody(kText, kSession), kFeedLines));
  EXPECT_EQ(host.blocks.back(), kText);
}

// A body that the first call begins keeps the fixed key when a later call
// completes it: a logon response cut by TCP is still read.
TEST_F(EncryptedReceive, CutBodyKeepsTheKeyOfTheCallThatBeganIt) {
  const std::string response = Response(EncryptedBody(kText, kFixed), kFeedLines);
  const size_t bodyStart = response.find("\r\n\r\n") + 4;
  for (const size_t cut : {bodyStart - 3, bodyStart + 1, bodyStart + 12, response.size() - 1}) {
    SCOPED_TRACE(cut);
    host.UseFixedKey(true);
    host.blocks.clear();
    HostedAssembler fresh(host);
    Feed(fresh, response + Response(EncryptedBody(kNext, kSession), kFeedLines), {cut, 4});
    EXPECT_EQ(host.UsingFixedKey(), 0);
    // The next response began after the switch: the session key.
    EXPECT_EQ(host.blocks, (Blocks{kText, kNext}));
  }
}

TEST_F(EncryptedReceive, CompletingChunkCarriesTheNextResponse) {
  host.UseFixedKey(false);
  const std::string first = Response(EncryptedBody(kText, kSession), kFeedLines);
  const std::string stream = first + Response(EncryptedBody(kNext, kSession), kFeedLines);
  const size_t bodyStart = first.find("\r\n\r\n") + 4;
  Feed(assembler, stream, {bodyStart + 12, 4096});
  EXPECT_EQ(host.blocks, (Blocks{kText, kNext}));
}

TEST_F(EncryptedReceive, BodyWithoutCiphertextDeliversNothing) {
  FeedWhole(assembler, Response(std::string(1, '\x01') + "00000", kFeedLines) +
                           Response(EncryptedBody(kNext, kFixed), kFeedLines));
  EXPECT_EQ(host.blocks, Blocks{kNext});
}

// Stopping for the interactive reader keeps the fixed key for the next call.
TEST_F(EncryptedReceive, TunnelWaitKeepsTheFixedKey) {
  assembler.SetTunnelRequested(true);
  host.multiOC = true;
  host.reading = false;
  FeedWhole(assembler, "HTTP/1.0 200 Connection established\r\n\r\n");
  EXPECT_TRUE(host.reading);
  EXPECT_EQ(host.UsingFixedKey(), 1);
  FeedWhole(assembler, "HTTP/1.0 200 Connection established\r\n\r\n" +
                           Response(EncryptedBody(kText, kFixed), kFeedLines));
  EXPECT_EQ(host.blocks, Blocks{kText});
  EXPECT_EQ(host.UsingFixedKey(), 0);
}

// ---- Compressed frames ----

struct FrameCase {
  const char* name;
  std::string stream;
  std::vector<size_t> chunks;
  Blocks expected;
};

class CompressedStreams : public ::testing::TestWithParam<FrameCase> {};

TEST_P(CompressedStreams, DeliversTheFrames) {
  const FrameCase& c = GetParam();
  RecordingHost host;
  host.compression = true;
  HostedAssembler assembler(host);
  Feed(assembler, c.stream, c.chunks);
  EXPECT_EQ(host.blocks, c.expected);
  EXPECT_EQ(assembler.FrameMode(), 1);
}

const std::string kFrameA = Response(CompressedFrame(kText), kFeedLines);
const std::string kFrameB = Response(CompressedFrame(kNext), kFeedLines);
const size_t kPayloadA = kFrameA.find('\x05') + 6;  // first payload byte
const size_t kEndA = kFrameA.size();
const std::string kHugeText = JoinMessages({MessageText(50000, 11)});
const std::string kHuge = Response(CompressedFrame(kHugeText), kFeedLines);

std::vector<FrameCase> FrameCases() {
  std::vector<FrameCase> cases = {
      {"frame_at_chunk_end", kFrameA, {4096}, {kText}},
      {"two_frames_one_chunk", kFrameA + kFrameB, {4096}, {kText, kNext}},
      // Payload cut: the rest alone (ends the chunk), or with the next response.
      {"payload_rest_alone", kFrameA, {kPayloadA + 4, 4096}, {kText}},
      {"payload_rest_and_next", kFrameA + kFrameB, {kPayloadA + 4, 4096}, {kText, kNext}},
      {"payload_in_three_pieces", kFrameA + kFrameB, {kPayloadA + 4, 3, 4096}, {kText, kNext}},
      {"payload_byte_by_byte", kFrameA + kFrameB, {1}, {kText, kNext}},
      // Longer than one chunk and than 32 768 bytes: carried whole.
      {"frame_over_32k", kFrameA + kHuge + kFrameB, {32768}, {kText, kHugeText, kNext}},
      {"frame_over_32k_small_chunks", kHuge + kFrameB, {1024}, {kHugeText, kNext}},
      // A frame whose payload is all there but is followed by neither the end
      // of the chunk nor "HTTP" is not taken; the search goes on inside it.
      {"not_followed_by_http", kFrameA + "XXXX" + kFrameB, {4096}, {kNext}},
  };
  // The marker and its digits cut after each of their bytes.
  const size_t marker = kFrameA.find('\x05');
  for (size_t k = 1; k <= 5; ++k) {
    cases.push_back({"marker_cut", kFrameA + kFrameB, {marker + k, 4096}, {kText, kNext}});
    cases.push_back(
        {"marker_cut_one_byte_more", kFrameA + kFrameB, {marker + k, 1, 4096}, {kText, kNext}});
  }
  // One to three bytes of the next response after a whole frame.
  cases.push_back({"http_cut_byte_by_byte", kFrameA + kFrameB, {kEndA, 1}, {kText, kNext}});
  for (size_t k = 1; k <= 3; ++k) {
    cases.push_back({"http_cut_in_parser", kFrameA + kFrameB, {kEndA + k, 4096}, {kText, kNext}});
    cases.push_back({"http_cut_in_continuation",
                     kFrameA + kFrameB,
                     {kPayloadA + 2, kEndA - kPayloadA - 2 + k, 4096},
                     {kText, kNext}});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Receive, CompressedStreams, ::testing::ValuesIn(FrameCases()),
                         [](const ::testing::TestParamInfo<FrameCase>& info) {
                           return std::string(info.param.name) + "_" + std::to_string(info.index);
                         });

TEST(CompressedReceive, CarriedFrameWaitsInModeZero) {
  RecordingHost host;
  host.compression = true;
  HostedAssembler assembler(host);
  FeedWhole(assembler, kFrameA.substr(0, kPayloadA + 4));
  EXPECT_EQ(assembler.FrameMode(), 0);
  FeedWhole(assembler, kFrameA.substr(kPayloadA + 4, 3));
  EXPECT_EQ(assembler.FrameMode(), 0);
  EXPECT_TRUE(host.blocks.empty());
  FeedWhole(assembler, kFrameA.substr(kPayloadA + 7));
  EXPECT_EQ(assembler.FrameMode(), 1);
  EXPECT_EQ(host.blocks, Blocks{kText});
}

// A continuation that does not line up drops the carried frame; the chunk is
// then searched for frames from its first byte.
TEST(CompressedReceive, MisalignedContinuationIsDropped) {
  RecordingHost host;
  host.compression = true;
  HostedAssembler assembler(host);
  FeedWhole(assembler, kFrameA.substr(0, kPayloadA + 4));
  // Longer than the bytes missing, and no "HTTP" after them.
  const std::string chunk = std::string(kFrameA.size(), 'j') + CompressedFrame(kNext);
  FeedWhole(assembler, chunk);
  EXPECT_EQ(host.blocks, Blocks{kNext});
  EXPECT_EQ(assembler.FrameMode(), 1);
}

TEST(CompressedReceive, ResetDropsTheCarriedFrame) {
  RecordingHost host;
  host.compression = true;
  HostedAssembler assembler(host);
  FeedWhole(assembler, kFrameA.substr(0, kPayloadA + 4));
  assembler.Reset();
  EXPECT_EQ(assembler.FrameMode(), 1);
  FeedWhole(assembler, kFrameA.substr(kPayloadA + 4) + kFrameB);
  EXPECT_EQ(host.blocks, Blocks{kNext});
}

// ---- Compressed and encrypted frames ----

TEST(CompressedEncryptedReceive, MarkerFollowsTheKeySwitch) {
  RecordingHost host;
  host.SetSessionKey(kSessionKey);
  host.compression = true;
  host.encryption = true;
  HostedAssembler assembler(host);
  // First call: 0x06 frames under the fixed key; a 0x07 frame is not looked for.
  FeedWhole(assembler, Response(CompressedFrame(kText, kFixed), kFeedLines) +
                           Response(CompressedFrame("\x02ignored", kSession), kFeedLines) +
                           Response(CompressedFrame(kNext, kFixed), kFeedLines));
  EXPECT_EQ(host.blocks, (Blocks{kText, kNext}));
  EXPECT_EQ(host.UsingFixedKey(), 0);
  // Afterwards: 0x07 frames under the session key.
  host.blocks.clear();
  FeedWhole(assembler, Response(CompressedFrame(kNext, kSession), kFeedLines) +
                           Response(CompressedFrame("\x02ignored", kFixed), kFeedLines));
  EXPECT_EQ(host.blocks, Blocks{kNext});
}

// A frame carried out of the first call keeps the key its marker names: a
// fixed-key logon response cut anywhere by TCP is still read, and the frames
// after it use the session key.
TEST(CompressedEncryptedReceive, CarriedFrameKeepsTheKeyOfItsMarker) {
  const std::string first = Response(CompressedFrame(kText, kFixed), kFeedLines);
  const std::string stream = first + Response(CompressedFrame(kNext, kSession), kFeedLines);
  const size_t marker = first.find('\x06');
  for (size_t cut = marker + 1; cut < first.size() + 3; ++cut) {
    RecordingHost host;
    host.SetSessionKey(kSessionKey);
    host.compression = true;
    host.encryption = true;
    HostedAssembler assembler(host);
    Feed(assembler, stream, {cut, 4096});
    EXPECT_EQ(host.blocks, (Blocks{kText, kNext})) << "cut after byte " << cut;
  }
}

// The codec flags may change while a frame is carried (a page calls
// sendRequest, which turns both off, then sets them again): the frame is still
// decoded as its marker says, and with its own length whatever the HTTP paths
// did between the reads.
TEST(CompressedReceive, FlagChangesWhileAFrameIsCarried) {
  const std::string text = JoinMessages({"1=carried", "2=frame"});
  const std::string frame = Response(CompressedFrame(text), kFeedLines);
  const size_t cut = frame.find('\x05') + 10;
  // An encrypted response far longer than the carried frame.
  const std::string big = JoinMessages({std::string(3000, 'x')});
  const std::string between = Response(EncryptedBody(big, kSession), kFeedLines);
  struct Step {
    bool compression, encryption;
  };
  const Step middles[] = {{false, true}, {true, true}, {false, false}};
  for (const Step& middle : middles) {
    SCOPED_TRACE(std::to_string(middle.compression) + std::to_string(middle.encryption));
    RecordingHost host;
    host.SetSessionKey(kSessionKey);
    host.UseFixedKey(false);
    HostedAssembler assembler(host);
    host.compression = true;
    FeedWhole(assembler, frame.substr(0, cut));
    ASSERT_EQ(assembler.FrameMode(), 0);
    host.compression = middle.compression;
    host.encryption = middle.encryption;
    if (!middle.compression) {
      // The HTTP paths read a response in between; the frame stays carried.
      FeedWhole(assembler, middle.encryption ? between : Response(big, kFeedLines));
      EXPECT_EQ(host.blocks, Blocks{big});
      host.blocks.clear();
      host.compression = true;
      host.encryption = false;
    }
    FeedWhole(assembler, frame.substr(cut));
    EXPECT_EQ(host.blocks, Blocks{text});
    EXPECT_EQ(assembler.FrameMode(), 1);
  }
}

}  // namespace
}  // namespace corvane::test
