// The assembler as a record its caller drives: settings in, results out. It
// reads no state but its own and decodes nothing; the owner's side deciphers
// each block with the key in force when that block's turn comes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams.h"

namespace corvane::test {
namespace {

using Blocks = std::vector<std::string>;

std::vector<ReceivedBlock> Take(CReceiveAssembler& assembler, const std::string& chunk,
                                const ReceiveSettings& settings, ReceiveResult* out = nullptr) {
  const ReceiveResult& r =
      assembler.DispatchReceived(static_cast<int32_t>(chunk.size()),
                                 reinterpret_cast<const unsigned char*>(chunk.data()), settings);
  if (out != nullptr) {
    out->setReading = r.setReading;
    out->fixedKeyDone = r.fixedKeyDone;
    out->status = r.status;
  }
  return r.blocks;
}

// The key choice is the caller's: it comes in with the settings, and the
// result says when it is used up.
TEST(AssemblerResults, KeyChoiceGoesInAndComesOut) {
  const std::string text = JoinMessages({"1=a"});
  struct Case {
    const char* name;
    ReceiveSettings settings;
    std::string stream;
    BlockCodec codec;
    bool fixedKey;
    bool fixedKeyDone;
  };
  ReceiveSettings plain;
  ReceiveSettings des;
  des.encryption = true;
  des.useFixedKey = true;
  ReceiveSettings desSession = des;
  desSession.useFixedKey = false;
  ReceiveSettings zlib;
  zlib.compression = true;
  ReceiveSettings both = des;
  both.compression = true;
  const Case cases[] = {
      {"plain", plain, Response(text, kFeedLines), BlockCodec::Plain, false, false},
      {"des_fixed", des, Response(EncryptedBody(text, kFixed), kFeedLines), BlockCodec::Des, true,
       true},
      {"des_session", desSession, Response(EncryptedBody(text, kSession), kFeedLines),
       BlockCodec::Des, false, true},
      {"zlib", zlib, Response(CompressedFrame(text), kFeedLines), BlockCodec::Zlib, false, false},
      {"des_zlib_fixed", both, Response(CompressedFrame(text, kFixed), kFeedLines),
       BlockCodec::DesZlib, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CReceiveAssembler assembler;
    ReceiveResult result;
    const auto blocks = Take(assembler, c.stream, c.settings, &result);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].codec, c.codec);
    EXPECT_EQ(blocks[0].fixedKey, c.fixedKey);
    EXPECT_EQ(result.fixedKeyDone, c.fixedKeyDone);
    const std::string key(c.fixedKey ? g_strFixedKey : kSessionKey);
    EXPECT_EQ(DecodeBlock(blocks[0], key), text);
  }
}

// The proxy's answer before the connection's reader is marked: the result asks
// the owner to mark it, and the reading flag the assembler saw is the one that
// came with the call.
TEST(AssemblerResults, ReadingFlagGoesInAndComesOut) {
  const std::string answer = "HTTP/1.0 200 Connection established\r\n\r\n";
  const std::string text = JoinMessages({"70=10000"});
  CReceiveAssembler assembler;
  assembler.SetTunnelRequested(true);
  ReceiveSettings settings;
  ReceiveResult result;
  EXPECT_TRUE(Take(assembler, answer + Response(text, kFeedLines), settings, &result).empty());
  EXPECT_TRUE(result.setReading);
  settings.reading = true;
  // The blocks look into the chunk: it outlives them.
  const std::string chunk = answer + Response(text, kFeedLines);
  const auto blocks = Take(assembler, chunk, settings, &result);
  EXPECT_FALSE(result.setReading);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].bytes, text);
}

// A logon response carries the session key in tag 394; the block after it in
// the same chunk is enciphered with that key. Each block is deciphered when
// its turn comes, after the one before it was split and its key applied.
TEST(AssemblerResults, SessionKeyChangesBetweenBlocksOfOneChunk) {
  const std::string newKey = "1029384756102938";
  const std::string logon = JoinMessages({"70=10000|394=" + newKey});
  const std::string next = JoinMessages({"1=quote"});
  const wire::Cipher newCipher{StreamEncipher, newKey, wire::kMarkerSessionKey};
  class KeyTakingHost : public RecordingHost {
   public:
    std::optional<std::string> OnBlock(std::string_view block) override {
      RecordingHost::OnBlock(block);
      const size_t tag = block.find("394=");
      if (tag == std::string_view::npos) return std::nullopt;
      return std::string(block.substr(tag + 4, 16));
    }
  };
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed frames" : "encrypted bodies");
    KeyTakingHost host;
    host.SetSessionKey(kSessionKey);
    host.UseFixedKey(false);
    host.encryption = true;
    host.compression = compressed;
    HostedAssembler assembler(host);
    const std::string stream = compressed
                                   ? Response(CompressedFrame(logon, kSession), kFeedLines) +
                                         Response(CompressedFrame(next, newCipher), kFeedLines)
                                   : Response(EncryptedBody(logon, kSession), kFeedLines) +
                                         Response(EncryptedBody(next, newCipher), kFeedLines);
    FeedWhole(assembler, stream);
    EXPECT_EQ(host.blocks, (Blocks{logon, next}));
  }
}

}  // namespace
}  // namespace corvane::test
