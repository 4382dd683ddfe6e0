// The sandbox back end's drops, seen by a raw socket client, with the kernel
// as the judge of how a connection ended: a close ends the stream after every
// message given (recv returns 0), a reset is a RST (ECONNRESET), a restart
// closes and then refuses connections (ECONNREFUSED) until the pause is over.
// Drops come by message count or by time, the kinds in turn, each logged with
// the last feed number written; the numbering may run on across clients;
// writes cut at random sizes leave the stream unchanged. Every wait is bounded.
#if !defined(_WIN32)

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/tool_process.h"
#include "tools/common/backend.h"

namespace corvane::tools {
namespace {

using Clock = std::chrono::steady_clock;

struct Ended {
  std::string data;
  int error = -1;  // 0: orderly end (recv returned 0); else errno; -1: still open at the deadline
  int64_t ms = 0;  // from connecting to the end
};

// Connects to the loopback port: the socket, or -errno.
int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    ::close(fd);
    return -e;
  }
  return fd;
}

// Reads until the connection ends or the time is up; waits `holdMs` first
// without reading (so a RST meets unread data).
Ended ReadToEnd(int fd, int holdMs = 0, int timeoutMs = 5000) {
  const auto start = Clock::now();
  if (holdMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  Ended e;
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      e.data.append(buf, static_cast<size_t>(n));
      continue;
    }
    e.error = n == 0 ? 0 : errno;
    break;
  }
  e.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  ::close(fd);
  return e;
}

// The feed numbers (tag 34) in plain-framed feed bytes, in order.
std::vector<int64_t> Numbers(const std::string& bytes) {
  std::vector<int64_t> numbers;
  for (size_t at = bytes.find("\x02"
                              "35=X|34=");
       at != std::string::npos; at = bytes.find("\x02"
                                                "35=X|34=",
                                                at + 1))
    numbers.push_back(std::stoll(bytes.substr(at + 9)));
  return numbers;
}

std::vector<int64_t> Range(int64_t from, int64_t to) {  // [from, to)
  std::vector<int64_t> r;
  for (int64_t i = from; i < to; ++i) r.push_back(i);
  return r;
}

// The drop log, once it holds n drops (a client sees its end just before
// the back end logs it).
std::vector<DropRecord> DropsWhenLogged(const SandboxBackend& backend, size_t n) {
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  std::vector<DropRecord> drops = backend.Drops();
  while (drops.size() < n && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    drops = backend.Drops();
  }
  return drops;
}

BackendOptions FeedOptions() {
  BackendOptions o;
  o.feedStart = BackendOptions::FeedStart::kConnect;
  o.rate = 0;
  o.batch = 4;
  o.dropInteractive = false;
  return o;
}

TEST(BackendDropsTest, EachKindEndsTheConnectionAsTheKernelReportsIt) {
  struct Case {
    Drop kind;
    int expectedError;
    bool everyMessageArrives;
  };
  const Case cases[] = {
      {Drop::kClose, 0, true}, {Drop::kReset, ECONNRESET, false}, {Drop::kRestart, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(DropName(c.kind));
    BackendOptions o = FeedOptions();
    o.drops = {c.kind};
    o.dropEvery = 10;
    o.restartPauseMs = 400;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    const int fd = Connect(backend.BroadcastPort());
    ASSERT_GE(fd, 0);
    // Unread data meets the RST, which the kernel reports instead of it.
    const Ended e = ReadToEnd(fd, c.kind == Drop::kReset ? 300 : 0);
    EXPECT_EQ(e.error, c.expectedError);
    if (c.everyMessageArrives) {
      EXPECT_EQ(Numbers(e.data), Range(0, 10));
    }
    const std::vector<DropRecord> drops = DropsWhenLogged(backend, 1);
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].port, LinkId::Broadcast);
    EXPECT_EQ(drops[0].kind, c.kind);
    EXPECT_EQ(drops[0].lastWritten, 9);

    if (c.kind == Drop::kRestart) {
      // Refused while down, served again on the same port afterwards.
      EXPECT_EQ(Connect(backend.BroadcastPort()), -ECONNREFUSED);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const int again = Connect(backend.BroadcastPort());
      ASSERT_GE(again, 0);
      EXPECT_EQ(Numbers(ReadToEnd(again).data), Range(0, 10));
    } else {
      const int again = Connect(backend.BroadcastPort());
      EXPECT_GE(again, 0);
      if (again >= 0) ::close(again);
    }
  }
}

TEST(BackendDropsTest, ByTimeOnEitherPort) {
  for (bool interactive : {true, false}) {
    SCOPED_TRACE(interactive ? "interactive" : "broadcast");
    BackendOptions o;
    o.rate = 20;  // the feed never starts: no logon
    o.drops = {Drop::kClose};
    o.dropIntervalMs = 300;
    o.dropInteractive = interactive;
    o.dropBroadcast = !interactive;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    const int dropped = Connect(interactive ? backend.InteractivePort() : backend.BroadcastPort());
    const int kept = Connect(interactive ? backend.BroadcastPort() : backend.InteractivePort());
    ASSERT_GE(dropped, 0);
    ASSERT_GE(kept, 0);
    const Ended e = ReadToEnd(dropped, 0, 3000);
    EXPECT_EQ(e.error, 0);
    EXPECT_GE(e.ms, 290);
    EXPECT_LT(e.ms, 2000);
    // The other port's client is left alone.
    const Ended other = ReadToEnd(kept, 0, 500);
    EXPECT_EQ(other.error, -1);
    const std::vector<DropRecord> drops = DropsWhenLogged(backend, 1);
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].port == LinkId::Interactive, interactive);
    EXPECT_EQ(drops[0].lastWritten, interactive ? 0 : -1);
  }
}

TEST(BackendDropsTest, KindsInTurnAndNumberingAcrossClients) {
  struct Case {
    bool continueSequence;
    std::vector<int64_t> second;
  };
  const Case cases[] = {{false, Range(0, 6)}, {true, Range(6, 12)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.continueSequence);
    BackendOptions o = FeedOptions();
    o.drops = {Drop::kClose, Drop::kReset, Drop::kClose};
    o.dropEvery = 6;
    o.continueSequence = c.continueSequence;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    const Ended first = ReadToEnd(Connect(backend.BroadcastPort()));
    EXPECT_EQ(first.error, 0);
    EXPECT_EQ(Numbers(first.data), Range(0, 6));
    const Ended second = ReadToEnd(Connect(backend.BroadcastPort()), 300);
    EXPECT_EQ(second.error, ECONNRESET);
    const Ended third = ReadToEnd(Connect(backend.BroadcastPort()));
    EXPECT_EQ(third.error, 0);
    EXPECT_EQ(Numbers(third.data), c.continueSequence ? Range(12, 18) : Range(0, 6));
    const std::vector<DropRecord> drops = DropsWhenLogged(backend, 3);
    ASSERT_EQ(drops.size(), 3u);
    EXPECT_EQ(drops[0].kind, Drop::kClose);
    EXPECT_EQ(drops[1].kind, Drop::kReset);
    EXPECT_EQ(drops[1].lastWritten, c.second.back());
    EXPECT_EQ(drops[2].kind, Drop::kClose);
  }
}

TEST(BackendDropsTest, TheLimitEndsTheDrops) {
  BackendOptions o = FeedOptions();
  o.drops = {Drop::kClose};
  o.dropEvery = 3;
  o.dropLimit = 2;
  o.count = 10;
  o.continueSequence = true;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  EXPECT_EQ(Numbers(ReadToEnd(Connect(backend.BroadcastPort())).data), Range(0, 3));
  EXPECT_EQ(Numbers(ReadToEnd(Connect(backend.BroadcastPort())).data), Range(3, 6));
  // The rest of the feed, on a connection that stays open.
  const Ended third = ReadToEnd(Connect(backend.BroadcastPort()), 0, 500);
  EXPECT_EQ(third.error, -1);
  EXPECT_EQ(Numbers(third.data), Range(6, 10));
  EXPECT_EQ(backend.Drops().size(), 2u);
}

TEST(BackendDropsTest, AnswersCountOnTheInteractivePort) {
  BackendOptions o;
  o.drops = {Drop::kClose};
  o.dropEvery = 2;  // the logon response and one reply
  o.dropBroadcast = false;
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  const int fd = Connect(backend.InteractivePort());
  ASSERT_GE(fd, 0);
  std::string requests;
  for (const char* m : {"1=a", "2=b", "3=c"})
    requests += std::string("Get http://127.0.0.1/\x02") + m +
                " HTTP/1.1\r\nAccept: /*\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n\r\n";
  ASSERT_EQ(::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(requests.size()));
  const Ended e = ReadToEnd(fd);
  EXPECT_EQ(e.error, 0);
  EXPECT_NE(e.data.find("70=10000"), std::string::npos);
  EXPECT_NE(e.data.find("reply|2=b"), std::string::npos);
  EXPECT_EQ(e.data.find("reply|3=c"), std::string::npos);
  const std::vector<DropRecord> drops = DropsWhenLogged(backend, 1);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_EQ(drops[0].lastWritten, 2);
}

TEST(BackendDropsTest, RandomWriteSizesKeepTheBytes) {
  BackendOptions o = FeedOptions();
  o.count = 300;
  o.messageSize = 50;
  o.drops = {Drop::kClose};  // ends the stream once the count is written
  o.dropEvery = 300;
  std::string whole;
  for (int writeMax : {0, 1, 7, 1000}) {
    SCOPED_TRACE(writeMax);
    o.writeMax = writeMax;
    SandboxBackend backend(o);
    ASSERT_TRUE(backend.Start(nullptr));
    const Ended e = ReadToEnd(Connect(backend.BroadcastPort()), 0, 1500);
    EXPECT_EQ(Numbers(e.data), Range(0, 300));
    // Equal but for the clock field (60=...): compare the numbers and sizes.
    if (writeMax == 0) whole = e.data;
    EXPECT_EQ(e.data.size(), whole.size());
  }
}

TEST(BackendDropsBinaryTest, PrintsEveryDrop) {
  const std::string backend = testing::ToolPath("backend/corvane-backend");
  const std::string script =
      "sh -c '" + backend +
      " --feed-start connect --rate 0 --drop close,reset --drop-every 3 --drop-port broadcast"
      " --duration-ms 1500 2>&1 >/tmp/corvane-drops-ports-$$ & pid=$!;"
      " while [ \"$(wc -l < /tmp/corvane-drops-ports-$$ 2>/dev/null)\" != 2 ]; do sleep 0.05; done;"
      " b=$(awk \"/broadcast/{print \\$2}\" /tmp/corvane-drops-ports-$$);"
      " for i in 1 2; do timeout 2 bash -c \"cat < /dev/tcp/127.0.0.1/$b\" >/dev/null 2>&1; done;"
      " wait $pid; rm -f /tmp/corvane-drops-ports-$$'";
  const testing::ProcessResult r = testing::RunCommand(script);
  EXPECT_NE(r.out.find("drop broadcast close 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("drop broadcast reset 2\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
