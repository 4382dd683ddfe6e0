// corvane session --capture, then corvane replay --capture: a session against
// the sandbox back end in every framing (both connections, logon on either,
// the codec flags switched off by a request halfway), replayed from its
// capture, gives the session's own authentication and data events and packet
// count; each connection's files also replay on their own through
// `--chunks`; malformed captures are refused with the line at fault.
#if !defined(_WIN32)

#include "tools/common/capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "tests/tools/tool_process.h"
#include "tools/common/backend.h"
#include "tools/common/replay.h"
#include "tools/common/session.h"

namespace corvane::tools {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines replay also writes: the events a reader's bytes produce and the
// packet count.
std::vector<std::string> ReceivedEvents(const std::string& text) {
  std::vector<std::string> kept;
  for (const std::string& l : Lines(text))
    if (l.rfind("authentication ", 0) == 0 || l.rfind("data ", 0) == 0 ||
        l.rfind("packets ", 0) == 0)
      kept.push_back(l);
  return kept;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/corvane-capture-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

TEST(CaptureTest, ReplayOfACaptureGivesTheSessionsEvents) {
  struct Case {
    const char* name;
    Framing framing;
    bool compression, encryption;
    bool sends;  // a logon request and a reply: the flags go off mid-session
  };
  const Case cases[] = {
      {"plain, requests on the interactive connection", Framing::kPlain, true, true, true},
      {"compressed feed", Framing::kCompressed, true, false, false},
      {"encrypted feed", Framing::kEncrypted, false, true, false},
      {"compressed and encrypted feed", Framing::kCompressedEncrypted, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackendOptions o;
    o.framing = c.framing;
    o.rate = 0;
    o.count = 400;
    o.batch = 7;
    o.messageSize = 90;
    if (!c.sends) {
      o.feedStart = BackendOptions::FeedStart::kConnect;
      o.feedLogon = true;
    }
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    TempDir dir;
    SessionOptions s;
    s.server = {"127.0.0.1", backend.InteractivePort()};
    s.broadcast = Endpoint{"127.0.0.1", backend.BroadcastPort()};
    s.multi = true;
    s.compression = c.compression;
    s.encryption = c.encryption;
    if (c.sends) s.sends = {"1=logon", "2=after"};
    s.sendIntervalMs = 50;
    s.durationMs = 1500;
    s.flushEachBatch = false;
    s.captureDirectory = (dir.path / "cap").string();
    std::ostringstream sessionOut, errors;
    ASSERT_EQ(RunSession(s, sessionOut, errors), 0) << errors.str();
    backend.Stop();
    const std::vector<std::string> session = ReceivedEvents(sessionOut.str());
    ASSERT_GE(session.size(), 402u) << sessionOut.str();

    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture(s.captureDirectory, &capture, &error)) << error;
    EXPECT_TRUE(capture.setup.multi);
    EXPECT_TRUE(capture.setup.reading[Index(LinkId::Interactive)]);
    EXPECT_TRUE(capture.setup.reading[Index(LinkId::Broadcast)]);
    // Every byte the back end wrote was read, and nothing else.
    EXPECT_EQ(static_cast<int64_t>(capture.bytes[Index(LinkId::Broadcast)].size()),
              backend.Stats().broadcastBytes);
    EXPECT_EQ(static_cast<int64_t>(capture.bytes[Index(LinkId::Interactive)].size()),
              backend.Stats().interactiveBytes);

    std::ostringstream replayOut;
    ASSERT_EQ(ReplayCapture(capture, std::nullopt, replayOut, errors), 0);
    EXPECT_EQ(Lines(replayOut.str()), session);

    // The binary reads the same directory.
    const std::string corvane = testing::ToolPath("corvane/corvane");
    const testing::ProcessResult r =
        testing::RunCommand(corvane + " replay --capture " + s.captureDirectory);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Lines(r.out), session);

    // A feed whose flags never changed replays from its own pair of files.
    if (!c.sends) {
      const std::string chunks = Slurp(dir.path / "cap" / "broadcast.chunks");
      const testing::ProcessResult alone = testing::RunCommand(
          corvane + " replay --connection broadcast --multi --compression " +
          (c.compression ? "on" : "off") + " --encryption " + (c.encryption ? "on" : "off") +
          " --chunks=" + chunks.substr(0, chunks.find('\n')) + " -- " +
          (dir.path / "cap" / "broadcast.bin").string());
      EXPECT_EQ(Lines(alone.out), session);
    }
  }
}

TEST(CaptureTest, ReadsAreRecordedWithTheirBoundariesAndFlags) {
  TempDir dir;
  const std::string path = (dir.path / "c").string();
  {
    CaptureWriter w;
    std::string error;
    ASSERT_TRUE(w.Open(path, &error)) << error;
    const unsigned char a[] = {'\x02', 'a', 0, 'b'};
    w.Record(LinkId::Broadcast, a, 4, true, false, 1);
    w.Record(LinkId::Interactive, a + 1, 2, false, true, 1);
    w.Record(LinkId::Broadcast, a, 1, false, false, 2);
    w.Finish({true, true, true, false, true});
  }
  EXPECT_EQ(Slurp(dir.path / "c" / "broadcast.chunks"), "4,1\n");
  EXPECT_EQ(Slurp(dir.path / "c" / "interactive.chunks"), "2\n");
  EXPECT_EQ(Slurp(dir.path / "c" / "broadcast.bin"), std::string("\x02"
                                                                 "a\0b\x02",
                                                                 5));
  Capture c;
  std::string error;
  ASSERT_TRUE(ReadCapture(path, &c, &error)) << error;
  ASSERT_EQ(c.chunks.size(), 3u);
  EXPECT_EQ(c.chunks[0].link, LinkId::Broadcast);
  EXPECT_TRUE(c.chunks[0].compression);
  EXPECT_EQ(c.chunks[1].link, LinkId::Interactive);
  EXPECT_TRUE(c.chunks[1].encryption);
  EXPECT_EQ(c.chunks[2].length, 1);
  // Each connection's first read, and the broadcast read on its next opening.
  EXPECT_TRUE(c.chunks[0].opens && c.chunks[1].opens && c.chunks[2].opens);
  EXPECT_TRUE(c.setup.proxy && c.setup.proxyCredentials &&
              c.setup.reading[Index(LinkId::Broadcast)]);
  EXPECT_FALSE(c.setup.reading[Index(LinkId::Interactive)]);
}

TEST(CaptureTest, ANewConnectionDropsWhatTheOldOneLeftUnfinished) {
  // The first connection dies in the middle of a response; the second one
  // starts with a whole logon response. With the opening marked, replay
  // starts the receive side afresh there, as the component does.
  const std::string cut =
      wire::Response(wire::JoinMessages({"d=lost|58=" + std::string(200, 'x')}));
  const std::string whole = wire::Response(wire::JoinMessages({"70=10000|394=5820417396284051"}));
  struct Case {
    bool marked;
    const char* expected;
  };
  const Case cases[] = {{true, "authentication true|10000|Logon success\npackets 1\n"},
                        {false, "packets 0\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.marked);
    Capture capture;
    capture.setup.reading[Index(LinkId::Broadcast)] = capture.setup.multi = true;
    const int32_t half = static_cast<int32_t>(cut.size() / 2);
    capture.bytes[Index(LinkId::Broadcast)] = cut.substr(0, static_cast<size_t>(half)) + whole;
    capture.chunks = {
        {LinkId::Broadcast, true, half, false, false},
        {LinkId::Broadcast, c.marked, static_cast<int32_t>(whole.size()), false, false}};
    std::ostringstream out, errors;
    ASSERT_EQ(ReplayCapture(capture, std::nullopt, out, errors), 0);
    EXPECT_EQ(out.str(), c.expected);
  }
}

TEST(CaptureTest, MalformedCapturesAreRefused) {
  struct Case {
    const char* name;
    std::string text;
    std::string broadcast;
    const char* expected;  // part of the error
  };
  const std::string header = "corvane-capture 1\n";
  const Case cases[] = {
      {"no header", "chunk broadcast 1 0 0\n", "x", "not a capture"},
      {"other version", "corvane-capture 2\n", "", "not a capture"},
      {"unknown line", header + "chunks broadcast 1 0 0\n", "x", "line 2"},
      {"zero length", header + "chunk broadcast 0 0 0\n", "", "line 2"},
      {"too long a read", header + "chunk broadcast 32769 0 0\n", "", "line 2"},
      {"flag not 0 or 1", header + "chunk broadcast 1 2 0\n", "x", "line 2"},
      {"number with junk", header + "chunk broadcast 1x 0 0\n", "x", "line 2"},
      {"unknown connection", header + "chunk policy 1 0 0\n", "x", "line 2"},
      {"trailing word", header + "multi 1 1\n", "", "line 2"},
      {"bytes missing", header + "chunk broadcast 2 0 0\n", "x", "do not add up"},
      {"bytes left over", header + "chunk broadcast 1 0 0\n", "xy", "do not add up"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::ofstream(dir.path / "capture.txt") << c.text;
    std::ofstream(dir.path / "broadcast.bin", std::ios::binary) << c.broadcast;
    std::ofstream(dir.path / "interactive.bin", std::ios::binary);
    Capture capture;
    std::string error;
    EXPECT_FALSE(ReadCapture(dir.path.string(), &capture, &error));
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  }
  Capture capture;
  std::string error;
  EXPECT_FALSE(ReadCapture("/nonexistent/corvane-capture", &capture, &error));
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
