// The sandbox back end on loopback, seen by a raw socket client: logon then
// replies, the feed in every framing decoded by the component's own receive
// side, the fault options, clients in sequence, and the binary's port lines
// and signal shutdown. Every wait is bounded.
#if !defined(_WIN32)

#include "tools/common/backend.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "tests/tools/tool_process.h"
#include "tools/common/replay.h"

namespace corvane::tools {
namespace {

using Clock = std::chrono::steady_clock;

// A blocking loopback client with bounded reads.
class RawClient {
 public:
  explicit RawClient(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    m_connectErrno = m_connected ? 0 : errno;
  }
  ~RawClient() { ::close(m_fd); }
  bool connected() const { return m_connected; }
  int connectErrno() const { return m_connectErrno; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `done` says so, the peer closes, or the time is up.
  template <typename Done>
  std::string ReadUntil(Done done, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(m_data) && !m_closed) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[65536];
      ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      if (n <= 0) {
        m_closed = true;
        break;
      }
      m_data.append(buf, static_cast<size_t>(n));
    }
    return m_data;
  }
  std::string ReadFor(int ms) {
    return ReadUntil([](const std::string&) { return false; }, ms);
  }
  bool closed() const { return m_closed; }

 private:
  int m_fd = -1;
  bool m_connected = false;
  int m_connectErrno = 0;
  bool m_closed = false;
  std::string m_data;
};

std::string Request(const std::string& message) {
  return "Get http://127.0.0.1/\x02" + message +
         " HTTP/1.1\r\nAccept: /*\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n\r\n";
}

size_t Count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

// Decodes captured bytes with the component's receive side (replay).
std::string Decode(const std::string& stream, Framing framing, std::vector<int> chunks) {
  ReplayOptions options;
  options.compression = FramingCompressed(framing);
  options.encryption = FramingEncrypted(framing);
  options.chunks = std::move(chunks);
  std::ostringstream out, errors;
  Replay(options, stream, out, errors);
  return out.str();
}

size_t FirstResponseLength(const std::string& stream) {
  const size_t header = stream.find("\r\n\r\n");
  const size_t cl = stream.find("Content-Length: ");
  return header + 4 + std::stoul(stream.substr(cl + 16, header - cl - 16));
}

TEST(BackendTest, AnswersLogonFirstThenReplies) {
  BackendOptions o;
  o.reply = "re|{request}|{request}";
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  RawClient client(backend.InteractivePort());
  ASSERT_TRUE(client.connected());
  // Two requests in one write and one cut across writes.
  const std::string third = Request("3=c");
  client.Send(Request("1=logon") + Request("2=b") + third.substr(0, 10));
  client.Send(third.substr(10));
  const std::string expected =
      wire::Response(wire::JoinMessages({"70=10000|394=5820417396284051"})) +
      wire::Response(wire::JoinMessages({"re|2=b|2=b"})) +
      wire::Response(wire::JoinMessages({"re|3=c|3=c"}));
  EXPECT_EQ(client.ReadUntil([&](const std::string& d) { return d.size() >= expected.size(); }),
            expected);
  backend.Stop();
  const BackendStats s = backend.Stats();
  EXPECT_EQ(s.requests, 3);
  EXPECT_EQ(s.logonResponses, 1);
  EXPECT_EQ(s.replies, 2);
}

TEST(BackendTest, FailedLogonIsAnsweredAgainAndANewClientLogsOnAfresh) {
  BackendOptions o;
  o.logonCode = "10001";
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  const std::string logon = wire::Response(wire::JoinMessages({"70=10001|394=5820417396284051"}));
  {
    RawClient client(backend.InteractivePort());
    client.Send(Request("a") + Request("b"));
    EXPECT_EQ(client.ReadUntil([&](const std::string& d) { return d.size() >= 2 * logon.size(); }),
              logon + logon);
  }
  BackendOptions ok;
  SandboxBackend second(ok);
  ASSERT_TRUE(second.Start(nullptr));
  const std::string okLogon = wire::Response(wire::JoinMessages({"70=10000|394=5820417396284051"}));
  for (int round = 0; round < 2; ++round) {
    RawClient client(second.InteractivePort());
    client.Send(Request("a"));
    EXPECT_EQ(client.ReadUntil([&](const std::string& d) { return d.size() >= okLogon.size(); }),
              okLogon)
        << "client " << round;
  }
  second.Stop();
  EXPECT_EQ(second.Stats().interactiveClients, 2);
}

TEST(BackendTest, FeedInEveryFramingDecodesThroughTheComponent) {
  const Framing framings[] = {Framing::kPlain, Framing::kCompressed, Framing::kEncrypted,
                              Framing::kCompressedEncrypted};
  for (Framing framing : framings) {
    SCOPED_TRACE(FramingName(framing));
    BackendOptions o;
    o.framing = framing;
    o.feedStart = BackendOptions::FeedStart::kConnect;
    o.feedLogon = true;
    o.rate = 0;
    o.count = 25;
    o.batch = 4;
    o.messageSize = 300;
    o.firstDelayMs = 0;  // the client reads everything at the end anyway
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    RawClient client(backend.BroadcastPort());
    const std::string stream = client.ReadUntil(
        [&](const std::string&) { return backend.Stats().feedMessages == 25; }, 5000);
    const std::string all = client.ReadFor(200);
    backend.Stop();
    // 1 logon response, then 25 messages in responses of 4.
    EXPECT_EQ(Count(all, "HTTP/1.1 200 OK"), 1u + 7u);
    std::vector<int> chunks = {static_cast<int>(FirstResponseLength(all)), 1000};
    const std::string events = Decode(all, framing, chunks);
    EXPECT_EQ(events.rfind("authentication true|10000|Logon success\n", 0), 0u) << events;
    EXPECT_EQ(Count(events, "\ndata 35=X|"), 25u) << events;
    for (int seq : {0, 1, 24})
      EXPECT_NE(events.find("|34=" + std::to_string(seq) + "|"), std::string::npos);
    EXPECT_NE(events.find("packets 26\n"), std::string::npos) << events;
    (void)stream;
  }
}

TEST(BackendTest, FeedWaitsForALogonAndStopsAfterItsCount) {
  BackendOptions o;
  o.rate = 200;
  o.count = 5;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  RawClient feed(backend.BroadcastPort());
  EXPECT_EQ(feed.ReadFor(300), "");  // no logon yet: no feed
  RawClient interactive(backend.InteractivePort());
  interactive.Send(Request("logon"));
  const std::string got = feed.ReadUntil([](const std::string& d) {
    return Count(d,
                 "\x02"
                 "35=X|") >= 5;
  });
  EXPECT_EQ(Count(got,
                  "\x02"
                  "35=X|"),
            5u);
  EXPECT_EQ(Count(feed.ReadFor(200),
                  "\x02"
                  "35=X|"),
            5u);  // then idle, still open
  EXPECT_FALSE(feed.closed());
}

TEST(BackendTest, RefusedPortsRefuseConnections) {
  struct Case {
    bool refuseInteractive, refuseBroadcast;
  };
  for (Case c : {Case{true, false}, Case{false, true}, Case{true, true}}) {
    BackendOptions o;
    o.refuseInteractive = c.refuseInteractive;
    o.refuseBroadcast = c.refuseBroadcast;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    EXPECT_GT(backend.InteractivePort(), 0);
    EXPECT_GT(backend.BroadcastPort(), 0);
    RawClient i(backend.InteractivePort()), b(backend.BroadcastPort());
    EXPECT_EQ(i.connected(), !c.refuseInteractive);
    EXPECT_EQ(b.connected(), !c.refuseBroadcast);
    if (c.refuseInteractive) {
      EXPECT_EQ(i.connectErrno(), ECONNREFUSED);
    }
  }
}

TEST(BackendTest, CloseAfterBytesCutsTheStreamExactly) {
  for (int64_t limit : {int64_t{0}, int64_t{1}, int64_t{20}, int64_t{500}}) {
    SCOPED_TRACE(limit);
    BackendOptions o;
    o.closeAfterBytes = limit;
    o.feedStart = BackendOptions::FeedStart::kConnect;
    o.rate = 0;
    o.faultsInteractive = true;
    o.faultsBroadcast = true;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    RawClient feed(backend.BroadcastPort());
    const std::string got = feed.ReadFor(3000);
    EXPECT_TRUE(feed.closed());
    EXPECT_EQ(got.size(), static_cast<size_t>(limit));
    if (limit > 0) {
      const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: ";
      EXPECT_EQ(got.substr(0, start.size()), start.substr(0, got.size()));
    }
  }
  // Only the chosen port is affected.
  BackendOptions o;
  o.closeAfterBytes = 0;
  o.faultsInteractive = false;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  RawClient interactive(backend.InteractivePort());
  interactive.Send(Request("x"));
  EXPECT_NE(interactive.ReadUntil([](const std::string& d) { return !d.empty(); }), "");
  EXPECT_FALSE(interactive.closed());
}

TEST(BackendTest, DelayHoldsAnswersBack) {
  BackendOptions o;
  o.delayMs = 300;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  RawClient client(backend.InteractivePort());
  const auto sent = Clock::now();
  client.Send(Request("x"));
  const std::string got = client.ReadUntil([](const std::string& d) { return !d.empty(); });
  EXPECT_FALSE(got.empty());
  // A lower bound only: the server must not answer before the delay.
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300));
}

TEST(BackendTest, EncryptedFramingsHoldEverythingBehindTheFirstResponse) {
  BackendOptions o;
  o.interactiveFraming = Framing::kEncrypted;
  o.firstDelayMs = 300;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  RawClient client(backend.InteractivePort());
  client.Send(Request("logon") + Request("a") + Request("b"));
  // The first response arrives alone; the rest only after the pause.
  const std::string first = client.ReadUntil([](const std::string& d) {
    return d.find("\r\n\r\n") != std::string::npos && d.size() >= FirstResponseLength(d);
  });
  const size_t firstLength = FirstResponseLength(first);
  EXPECT_EQ(client.ReadFor(150).size(), firstLength);
  const std::string all =
      client.ReadUntil([](const std::string& d) { return Count(d, "HTTP/1.1") >= 3; });
  EXPECT_EQ(Count(all, "HTTP/1.1 200 OK"), 3u);
  EXPECT_EQ(static_cast<unsigned char>(all[all.find("\r\n\r\n") + 4]), wire::kMarkerFixedKey);
  EXPECT_EQ(
      static_cast<unsigned char>(all[firstLength + all.substr(firstLength).find("\r\n\r\n") + 4]),
      wire::kMarkerSessionKey);
  EXPECT_EQ(Decode(all, Framing::kEncrypted, {static_cast<int>(firstLength), 9}),
            "authentication true|10000|Logon success\ndata reply|a\ndata reply|b\npackets 3\n");
}

TEST(BackendBinaryTest, PrintsItsPortsAndStopsOnSignalOrDuration) {
  const std::string tool = testing::ToolPath("backend/corvane-backend");
  // Duration: stops by itself, exit 0, ports on standard output.
  testing::ProcessResult r = testing::RunCommand(
      tool + " --interactive-port 0 --broadcast-port 0 --duration-ms 300 2>/dev/null");
  EXPECT_EQ(r.status, 0);
  int i = 0, b = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "interactive %d\nbroadcast %d\n", &i, &b), 2) << r.out;
  EXPECT_GT(i, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(i, b);

  // SIGTERM: the shell sends it once the ports are printed.
  r = testing::RunCommand("sh -c 'ports=$(mktemp); stats=$(mktemp); " + tool +
                          " --interactive-port 0 --broadcast-port 0 --duration-ms 20000"
                          " >$ports 2>$stats & pid=$!;"
                          " while [ $(wc -l < $ports) -lt 2 ] && kill -0 $pid; do sleep 0.05; done;"
                          " kill -TERM $pid; wait $pid; echo exit $?; cat $stats;"
                          " rm -f $ports $stats'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("exit 0\ncorvane-backend: 0 interactive clients", 0), 0u) << r.out;

  EXPECT_NE(testing::RunCommand(tool + " --framing zip 2>/dev/null").status, 0);
  EXPECT_NE(
      testing::RunCommand(tool + " --host not-an-address --duration-ms 100 2>/dev/null").status, 0);
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
