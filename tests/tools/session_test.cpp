// corvane session against the sandbox back end on loopback: both connections
// up, logon then data both ways, servers down (failure and maximum events in
// order), a send without a connection, codec flags set as a page sets them
// (the feed in each coded framing), keep-alive sending nothing, conflation
// for a slow reader, and the binary end to end. Each session runs for a bounded duration.
#if !defined(_WIN32)

#include "tools/common/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "codec/keys.h"
#include "tests/tools/tool_process.h"
#include "tools/common/backend.h"

namespace corvane::tools {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

std::vector<std::string> RunLines(const SessionOptions& options) {
  std::ostringstream out, errors;
  EXPECT_EQ(RunSession(options, out, errors), 0) << errors.str();
  return Lines(out.str());
}

SessionOptions Against(const SandboxBackend& backend, bool broadcast) {
  SessionOptions s;
  s.server = {"127.0.0.1", backend.InteractivePort()};
  if (broadcast) {
    s.broadcast = Endpoint{"127.0.0.1", backend.BroadcastPort()};
    s.multi = true;
  }
  s.flushEachBatch = false;
  return s;
}

TEST(SessionTest, BothConnectionsUpLogonThenDataBothWays) {
  BackendOptions o;
  o.rate = 100;
  o.count = 5;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  SessionOptions s = Against(backend, true);
  s.sends = {"1=logon|2=me", "5=quote|55=X"};
  s.sendIntervalMs = 100;
  s.keepAliveMs = 20;
  s.durationMs = 1500;
  const std::vector<std::string> lines = RunLines(s);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "connect true");
  EXPECT_EQ(lines[1], "connect true");
  EXPECT_EQ(lines[2], "authentication true|10000|Logon success");
  EXPECT_EQ(CountPrefix(lines, "data reply|5=quote|55=X"), 1u);
  EXPECT_EQ(CountPrefix(lines, "data 35=X|"), 5u);
  EXPECT_EQ(CountPrefix(lines, "data 35=X|34=0|"), 1u);
  EXPECT_EQ(lines[lines.size() - 2], "packets 7");
  EXPECT_EQ(lines.back(), "requests 2");
  EXPECT_EQ(lines.size(), 2u + 1u + 1u + 5u + 2u);
  backend.Stop();
  // Keep-alive ticks send nothing: the server saw the two requests only.
  EXPECT_EQ(backend.Stats().requests, 2);
}

TEST(SessionTest, ServersDownGiveFailureAndMaximumEventsInOrder) {
  struct Case {
    const char* name;
    bool refuseInteractive, refuseBroadcast, broadcast;
    int32_t reconnectCount;
    std::vector<std::string> sends;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"interactive down, count 2",
       true,
       false,
       false,
       2,
       {},
       {"connection-failure 1", "connection-failure 1", "connection-failure 1",
        "maximum-reconnection 1", "packets 0", "requests 0"}},
      {"interactive down, count 0",
       true,
       false,
       false,
       0,
       {},
       {"connection-failure 1", "maximum-reconnection 1", "packets 0", "requests 0"}},
      {"broadcast down",
       false,
       true,
       true,
       0,
       {},
       {"connect true", "connection-failure 2", "packets 0", "requests 0"}},
      {"a send without a connection reconnects and fails again",
       true,
       false,
       false,
       0,
       {"x=1"},
       {"connection-failure 1", "maximum-reconnection 1", "disconnect false",
        "connection-failure 1", "maximum-reconnection 1", "packets 0", "requests 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackendOptions o;
    o.refuseInteractive = c.refuseInteractive;
    o.refuseBroadcast = c.refuseBroadcast;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    SessionOptions s = Against(backend, c.broadcast);
    s.reconnectCount = c.reconnectCount;
    s.sends = c.sends;
    s.durationMs = 100;
    EXPECT_EQ(RunLines(s), c.expected);
  }
}

TEST(SessionTest, ASendFailureReconnectsAndReadingResumes) {
  // The back end closes each interactive client once the logon response is
  // out; the component finds it on a later send: "disconnect false", then the
  // reconnection's "connect true" within the same call, and the new
  // connection's first answer (a logon response again, for a new client)
  // arrives as data, since the component stays logged on.
  BackendOptions o;
  o.closeAfterBytes =
      static_cast<int64_t>(wire::Response(wire::JoinMessages({LogonResponseText(o)})).size());
  o.faultsBroadcast = false;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  SessionOptions s = Against(backend, false);
  s.sends = {"logon", "a", "b", "c", "d", "e"};
  s.sendIntervalMs = 100;
  s.durationMs = 1200;
  const std::vector<std::string> lines = RunLines(s);
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  SCOPED_TRACE(all);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "connect true");
  EXPECT_EQ(lines[1], "authentication true|10000|Logon success");
  size_t disconnects = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != "disconnect false") continue;
    ++disconnects;
    ASSERT_LT(i + 1, lines.size());
    EXPECT_EQ(lines[i + 1], "connect true");
  }
  EXPECT_GE(disconnects, 1u);
  EXPECT_GE(CountPrefix(lines, "data 70=10000|394="), 1u);
  EXPECT_EQ(CountPrefix(lines, "connect true"), 1 + disconnects);
  EXPECT_EQ(lines.back(), "requests " + std::to_string(6 - disconnects));
  backend.Stop();
  EXPECT_EQ(backend.Stats().interactiveClients, static_cast<int64_t>(1 + disconnects));
}

TEST(SessionTest, CodecFlagsReadTheFeedInEachFraming) {
  // No request is sent, so the flags stay as set and the feed is decoded
  // under them; the feed's first response is the logon response, which hands
  // out the session key the later encrypted frames use.
  struct Case {
    Framing framing;
    bool compression, encryption;
  };
  const Case cases[] = {{Framing::kPlain, false, false},
                        {Framing::kCompressed, true, false},
                        {Framing::kEncrypted, false, true},
                        {Framing::kCompressedEncrypted, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(FramingName(c.framing));
    BackendOptions o;
    o.framing = c.framing;
    o.feedStart = BackendOptions::FeedStart::kConnect;
    o.feedLogon = true;
    o.rate = 200;
    o.count = 10;
    o.batch = 3;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    SessionOptions s = Against(backend, true);
    s.compression = c.compression;
    s.encryption = c.encryption;
    s.durationMs = 1200;
    const std::vector<std::string> lines = RunLines(s);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "authentication true|10000|Logon success");
    EXPECT_EQ(CountPrefix(lines, "data 35=X|"), 10u);
    EXPECT_EQ(lines[lines.size() - 2], "packets 11");
  }
}

// Output read more slowly than the feed arrives, as by a slow script at the
// end of a pipe: each line waits 200 us. Off, every message is written, in
// order; on (tag 55), every message is written or counted as replaced, no
// instrument goes back, and each ends at its last value, which the back
// end's numbering (34 = sequence, 55 = symbol of sequence % 8) tells.
class SlowLines : public std::streambuf {
 public:
  std::string text;

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    text.push_back(traits_type::to_char_type(c));
    if (c == '\n') std::this_thread::sleep_for(std::chrono::microseconds(200));
    return c;
  }
};

TEST(SessionTest, ConflationKeepsASlowReaderAtEveryInstrumentsNewestValue) {
  constexpr int64_t kSent = 4000;
  for (const bool conflate : {false, true}) {
    SCOPED_TRACE(conflate ? "conflation on" : "conflation off");
    BackendOptions o;
    o.feedStart = BackendOptions::FeedStart::kConnect;
    o.feedLogon = true;
    o.rate = 0;
    o.batch = 32;
    o.count = kSent;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    SessionOptions s = Against(backend, true);
    s.compression = s.encryption = false;  // the plain framing
    // Off, the run ends with the last message; on, fewer arrive, and the
    // feed takes well under the duration.
    if (conflate) s.conflationTag = 55;
    if (!conflate) s.untilData = static_cast<int>(kSent);
    s.durationMs = conflate ? 5000 : 10000;
    SlowLines slow;
    std::ostream out(&slow);
    std::ostringstream errors;
    ASSERT_EQ(RunSession(s, out, errors), 0) << errors.str();

    int64_t data = 0, backwards = 0, conflated = -1;
    std::map<std::string, int64_t> last;
    for (const std::string& line : Lines(slow.text)) {
      long long sequence = 0;
      char symbol[8] = {};
      if (std::sscanf(line.c_str(), "data 35=X|34=%lld|55=%7[A-Z]|", &sequence, symbol) == 2) {
        ++data;
        auto [it, first] = last.emplace(symbol, sequence);
        if (!first && sequence <= it->second) ++backwards;
        it->second = sequence;
      }
      std::sscanf(line.c_str(), "conflated %" SCNd64, &conflated);
    }
    EXPECT_EQ(backwards, 0);
    ASSERT_EQ(last.size(), 8u);
    for (const auto& [symbol, sequence] : last) EXPECT_GE(sequence, kSent - 8) << symbol;
    if (conflate) {
      EXPECT_GT(conflated, 0);
      EXPECT_EQ(data + conflated, kSent) << data << " written";
    } else {
      EXPECT_EQ(conflated, -1);  // no such line
      EXPECT_EQ(data, kSent);
    }
  }
}

TEST(SessionBinaryTest, RunsAgainstTheBackEndBinary) {
  const std::string backend = testing::ToolPath("backend/corvane-backend");
  const std::string corvane = testing::ToolPath("corvane/corvane");
  const std::string script =
      "sh -c 'ports=$(mktemp); " + backend +
      " --interactive-port 0 --broadcast-port 0 --rate 50 --count 3 --duration-ms 20000"
      " >$ports 2>/dev/null & pid=$!;"
      " while [ $(wc -l < $ports) -lt 2 ] && kill -0 $pid; do sleep 0.05; done;"
      " i=$(awk \"/interactive/{print \\$2}\" $ports);"
      " b=$(awk \"/broadcast/{print \\$2}\" $ports);" +
      " " + corvane +
      " session --server 127.0.0.1:$i --broadcast 127.0.0.1:$b --multi"
      " --send \"1=logon\" --send \"2=a b\" --send-interval 50 --duration 2500; echo exit $?;"
      " kill -TERM $pid; wait $pid; rm -f $ports'";
  const testing::ProcessResult r = testing::RunCommand(script);
  EXPECT_EQ(r.status, 0);
  SCOPED_TRACE(r.out);
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "connect true");
  EXPECT_EQ(lines[1], "connect true");
  EXPECT_EQ(lines[2], "authentication true|10000|Logon success");
  EXPECT_EQ(CountPrefix(lines, "data reply|2=a b"), 1u);
  EXPECT_EQ(CountPrefix(lines, "data 35=X|"), 3u);
  EXPECT_EQ(lines.back(), "exit 0");
  EXPECT_EQ(lines[lines.size() - 2], "requests 2");

  EXPECT_EQ(testing::RunCommand(corvane + " session --server nohostport 2>/dev/null").status, 2);
  EXPECT_NE(testing::RunCommand(corvane + " session 2>/dev/null").status, 0);
}

TEST(SessionTest, EndpointsAndDottedAddresses) {
  EXPECT_EQ(ParseEndpoint("127.0.0.1:9001")->port, 9001);
  EXPECT_EQ(ParseEndpoint("host.example:0")->host, "host.example");
  for (const char* bad : {"", "host", ":80", "host:", "host:65536", "host:-1", "host:8x"})
    EXPECT_FALSE(ParseEndpoint(bad)) << bad;
  for (const char* dotted : {"127.0.0.1", "0.0.0.0", "255.255.255.255"})
    EXPECT_TRUE(IsDottedAddress(dotted)) << dotted;
  for (const char* name : {"localhost", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1..2.3", "1.2.3.4 "})
    EXPECT_FALSE(IsDottedAddress(name)) << name;
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
