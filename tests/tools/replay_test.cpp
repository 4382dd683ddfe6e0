// corvane replay: fixture streams in every framing, fed whole and cut into
// chunks of many sizes, give the same script-visible events; the set-up
// options (proxy, credentials, multi, connection) change what the receive side
// accepts exactly as a page's set-up would; the binary prints what the
// library prints.
#if !defined(_WIN32)

#include "tools/common/replay.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "protocol/encoder.h"
#include "tests/codec/stream_cipher.h"
#include "tests/tools/tool_process.h"

namespace corvane::tools {
namespace {

using wire::Framing;
using wire::JoinMessages;

const std::string kKey = "8642097531864209";
const std::string kLogon = "70=10000|394=" + kKey;

struct Replayed {
  int status;
  std::string out;
};

Replayed ReplayStream(const ReplayOptions& options, const std::string& stream) {
  std::ostringstream out, errors;
  int status = Replay(options, stream, out, errors);
  return {status, out.str()};
}

// A logon response alone in the first response, then data in several responses
// (one of them holding several messages), as the back end frames them.
struct Fixture {
  std::string stream;
  size_t firstResponse;
};

Fixture MakeStream(Framing framing) {
  wire::FrameEncoder encoder(framing, test::StreamEncipher, kKey, 1);
  Fixture f;
  f.stream = encoder.Encode(JoinMessages({kLogon}));
  f.firstResponse = f.stream.size();
  f.stream += encoder.Encode(JoinMessages({"d=1|x=a b"}));
  f.stream += encoder.Encode(JoinMessages({"d=2", "d=3\\", std::string("d=4\x7f\x01", 5)}));
  std::string big = "d=5|58=";
  for (int i = 0; i < 3000; ++i) big += static_cast<char>('a' + (i * 7) % 26);
  f.stream += encoder.Encode(JoinMessages({big}));
  f.stream += encoder.Encode(JoinMessages({"d=6"}));
  return f;
}

std::string ExpectedEvents() {
  std::string big = "d=5|58=";
  for (int i = 0; i < 3000; ++i) big += static_cast<char>('a' + (i * 7) % 26);
  return "authentication true|10000|Logon success\n"
         "data d=1|x=a b\n"
         "data d=2\n"
         "data d=3\\\\\n"
         "data d=4\\x7f\\x01\n"
         "data " +
         big +
         "\n"
         "data d=6\n"
         "packets 7\n";
}

TEST(ReplayTest, EveryFramingGivesTheSameEventsHoweverTheStreamIsCut) {
  const Framing framings[] = {Framing::kPlain, Framing::kCompressed, Framing::kEncrypted,
                              Framing::kCompressedEncrypted};
  for (Framing framing : framings) {
    const Fixture f = MakeStream(framing);
    std::vector<std::vector<int>> cuts = {{32768}, {1}, {7}, {1000}, {3, 5000, 2}, {4096, 13}};
    if (FramingEncrypted(framing)) {
      // The receiver decrypts with the fixed key during its first encrypted call
      // only: that call must hold exactly the first response.
      const int first = static_cast<int>(f.firstResponse);
      cuts = {{first, 32768}, {first, 1}, {first, 7}, {first, 1000}, {first, 3, 5000, 2}};
    }
    ReplayOptions options;
    options.compression = FramingCompressed(framing);
    options.encryption = FramingEncrypted(framing);
    for (const std::vector<int>& chunks : cuts) {
      SCOPED_TRACE(std::string(FramingName(framing)) + " chunks " + std::to_string(chunks[0]) +
                   (chunks.size() > 1 ? "," + std::to_string(chunks[1]) : ""));
      options.chunks = chunks;
      Replayed r = ReplayStream(options, f.stream);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, ExpectedEvents());
    }
  }
}

TEST(ReplayTest, CodecFlagsMustMatchTheFraming) {
  // Plain bytes read with compression on hold no frame marker: nothing comes out.
  ReplayOptions options;  // compression and encryption on: the reset values
  Replayed r = ReplayStream(options, MakeStream(Framing::kPlain).stream);
  EXPECT_EQ(r.out, "packets 0\n");
  // A flag turned off by "off" (a VT_BOOL) stays off: compressed bytes read as plain.
  options.compression = false;
  options.encryption = false;
  r = ReplayStream(options, MakeStream(Framing::kCompressed).stream);
  EXPECT_EQ(r.out, "packets 0\n");
}

TEST(ReplayTest, BroadcastConnectionGivesTheSameEvents) {
  ReplayOptions options;
  options.compression = false;
  options.encryption = false;
  options.link = LinkId::Broadcast;
  options.chunks = {100};
  EXPECT_EQ(ReplayStream(options, MakeStream(Framing::kPlain).stream).out, ExpectedEvents());
}

const std::string kProxyAnswer = "HTTP/1.0 200 Connection established\r\nProxy-agent: t\r\n\r\n";

TEST(ReplayTest, ProxyAnswerRulesFollowTheSetUp) {
  const std::string plainStream =
      kProxyAnswer + "junk" + wire::Response(JoinMessages({kLogon, "d=1"}));
  const std::string proxied = "authentication true|10000|Logon success\ndata d=1\npackets 2\n";
  const std::string encryptedStream =
      kProxyAnswer + wire::Response(wire::EncryptedBody(
                         JoinMessages({kLogon, "d=1"}),
                         {test::StreamEncipher, g_strFixedKey, wire::kMarkerFixedKey}));
  struct Case {
    const char* name;
    bool encrypted;
    bool proxy;
    bool credentials;
    bool multi;
    bool interactive;
    std::string expected;
  };
  const Case cases[] = {
      // The answer is awaited only where a CONNECT request went out: a proxy
      // was found and credentials are stored.
      {"plain, proxy with credentials", false, true, true, false, true, proxied},
      {"plain, proxy without credentials: no tunnel, a foreign status line", false, true, false,
       false, true, "packets 0\n"},
      {"plain, no proxy: the answer is a foreign status line", false, false, false, false, true,
       "packets 0\n"},
      {"encrypted, proxy with credentials", true, true, true, false, true, proxied},
      {"encrypted, credentials without a proxy", true, false, true, false, true, "packets 0\n"},
      {"encrypted, proxy without credentials", true, true, false, false, true, "packets 0\n"},
      // With multi, the reading flag rule applies: each connection's own flag,
      // set for the connection replayed, so the answer is taken on either.
      {"encrypted, tunnel, multi, interactive", true, true, true, true, true, proxied},
      {"encrypted, tunnel, multi, broadcast", true, true, true, true, false, proxied},
      {"encrypted, tunnel, no multi, broadcast", true, true, true, false, false, proxied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReplayOptions options;
    options.compression = false;
    options.encryption = c.encrypted;
    options.proxy = c.proxy;
    options.proxyCredentials = c.credentials;
    options.multi = c.multi;
    options.link = c.interactive ? LinkId::Interactive : LinkId::Broadcast;
    EXPECT_EQ(ReplayStream(options, c.encrypted ? encryptedStream : plainStream).out, c.expected);
  }
}

TEST(ReplayTest, ChunkSizesOutOfRangeAreRefused) {
  ReplayOptions options;
  for (std::vector<int> chunks : {std::vector<int>{0}, {32769}, {5, -1}, {}}) {
    options.chunks = chunks;
    std::ostringstream out, errors;
    EXPECT_EQ(Replay(options, "x", out, errors), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(errors.str().empty());
  }
}

TEST(ReplayBinaryTest, PrintsWhatTheLibraryPrintsFromAFileAndFromStandardInput) {
  const Fixture f = MakeStream(Framing::kCompressedEncrypted);
  const std::string path = ::testing::TempDir() + "corvane_replay_fixture.bin";
  {
    std::ofstream file(path, std::ios::binary);
    file << f.stream;
  }
  const std::string chunks = std::to_string(f.firstResponse) + ",5";
  const std::string tool = testing::ToolPath("corvane/corvane");

  testing::ProcessResult r = testing::RunCommand(tool + " replay --chunks " + chunks + " " + path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ExpectedEvents());

  r = testing::RunCommand(tool + " replay --chunks " + chunks + " - < " + path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ExpectedEvents());

  const Fixture plain = MakeStream(Framing::kPlain);
  {
    std::ofstream file(path, std::ios::binary);
    file << plain.stream;
  }
  r = testing::RunCommand(tool + " replay --compression off --encryption off --connection " +
                          "broadcast --chunks 2,3,1 " + path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ExpectedEvents());

  EXPECT_NE(testing::RunCommand(tool + " replay --chunks 0 " + path + " 2>/dev/null").status, 0);
  EXPECT_NE(
      testing::RunCommand(tool + " replay --compression maybe " + path + " 2>/dev/null").status, 0);
  EXPECT_NE(testing::RunCommand(tool + " replay /nonexistent/file 2>/dev/null").status, 0);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
