// Soak: a long numbered feed through the sandbox back end in all four
// framings, the back end writing at random sizes and dropping its broadcast
// and interactive clients in turn by close (FIN), reset (RST) and restart
// (refusing connections for a while).
//
// The judge is the back end's own drop log. Feed numbers run on across
// clients, so the client must see a strictly increasing sequence; a gap is
// allowed only where a reset threw away what the client had not read, and
// then the next number is the one after that reset's last written message (a
// close or a restart loses nothing: every number written before it arrives).
// After every drop the feed resumes, and the run ends with the last number.
// Each drop is reported to the script ("false" on the connection's disconnect
// callback) and followed by a new connection. Every thread the component
// made is gone once it is released, and resident memory stays flat.
//
// CORVANE_SOAK_MESSAGES sets the feed's length over all framings (default one
// million; the sanitizer builds run fewer); CORVANE_SOAK_DROPS=0 leaves the
// drops out. A failed framing keeps the
// capture of everything its connections received and prints where it is
// (corvane replay --capture DIR replays it).
#if !defined(_WIN32)

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/keys.h"
#include "component/component_methods.h"
#include "tools/common/backend.h"
#include "tools/common/capture.h"

namespace corvane::tools {
namespace {

using Clock = std::chrono::steady_clock;

// AddressSanitizer keeps freed memory in its quarantine (256 MiB by default),
// so resident memory grows with what is freed, not with what is held: the
// flatness check means nothing there (its leak check covers what is held).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The build's defaults (tools/common/CMakeLists.txt), which the environment
// overrides.
#ifndef CORVANE_SOAK_DROPS_DEFAULT
#define CORVANE_SOAK_DROPS_DEFAULT 1
#endif
#ifndef CORVANE_SOAK_MESSAGES_DEFAULT
#define CORVANE_SOAK_MESSAGES_DEFAULT 1000000
#endif

// CORVANE_SOAK_DROPS=0 runs the feed without drops (a component that does not
// reconnect after a drop cannot pass with them).
const bool kDrops = [] {
  const char* env = std::getenv("CORVANE_SOAK_DROPS");
  if (env == nullptr || *env == '\0') return CORVANE_SOAK_DROPS_DEFAULT != 0;
  return std::string(env) != "0";
}();

int64_t Messages() {
  const char* env = std::getenv("CORVANE_SOAK_MESSAGES");
  return env != nullptr && *env != '\0' ? std::atoll(env) : CORVANE_SOAK_MESSAGES_DEFAULT;
}

int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

int Threads() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    ::closedir(d);
  }
  return n;
}

Variant Flag(bool on) { return on ? Variant::I4(1) : Variant::Bool(false); }

// What the script saw.
struct Seen {
  std::vector<int64_t> numbers;
  int64_t logons = 0;      // logon responses (authentication, or data after a reconnection)
  int64_t unexpected = 0;  // data that is neither
  std::string firstUnexpected;
  int64_t bcDisconnectFalse = 0, disconnectFalse = 0, otherDisconnect = 0;
  int64_t connects = 0, failures = 0, maximum = 0;
};

struct Framed {
  Framing framing;
  bool compression, encryption;
};

// Runs one framing; returns the failures as text (empty: passed).
std::string RunFraming(const Framed& f, int64_t count, uint64_t seed, const std::string& capture,
                       int64_t* rssGrowth) {
  BackendOptions o;
  o.framing = f.framing;
  o.feedStart = BackendOptions::FeedStart::kConnect;
  o.feedLogon = true;
  o.rate = 0;
  o.count = count;
  o.batch = 5;
  o.messageSize = 64;
  o.continueSequence = true;
  o.fixedKeyFirstClientOnly = true;
  o.writeMax = 3000;
  o.seed = seed;
  if (kDrops) {
    // Each kind once per port: the broadcast client after every quarter of
    // the feed, the interactive one (which carries nothing here) after a
    // second. Drops of connections that lived that briefly make the
    // component wait longer before each next attempt (0.5 s, 1 s, 2 s ...), so
    // a few per port keep the run short.
    o.drops = {Drop::kClose, Drop::kReset, Drop::kRestart};
    o.dropLimit = 3;
    o.dropEvery = count / 4 + 1;
    o.dropIntervalMs = 1000;
    // Longer than the component's pause before its first attempt, so that
    // attempts are refused before the port listens again.
    o.restartPauseMs = 2500;
  }
  SandboxBackend backend(o);
  std::string error;
  if (!backend.Start(&error)) return "the back end did not start: " + error;

  std::ostringstream fail;
  Seen seen;
  std::vector<DropRecord> drops;
  {
    std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
    if (!component) return "no component";
    CComponentMethods& c = *component;
    CaptureWriter writer;
    if (!writer.Open(capture, &error)) return error;
    c.GetSession().Core().SetChunkObserver([&writer](const ReceivedChunk& chunk) {
      writer.Record(chunk.link, chunk.data, chunk.length, chunk.compression,
                    chunk.encryption, chunk.opening);
    });
    c.setMultiOC(Flag(true));
    c.setCompression(Flag(f.compression));
    c.setEncryption(Flag(f.encryption));
    // A pause of 50 ms between attempts, and enough attempts to outlast a restart.
    c.setTimerDetails(Variant::I4(50), Variant::I4(100));
    c.putref_handleData(MakeCallback([&seen](CComponentMethods&, const std::string& text) {
      if (text.rfind("35=X|34=", 0) == 0) {
        seen.numbers.push_back(std::strtoll(text.c_str() + 8, nullptr, 10));
      } else if (text.rfind("70=", 0) == 0) {
        ++seen.logons;
      } else if (seen.unexpected++ == 0) {
        seen.firstUnexpected = text.substr(0, 80);
      }
    }));
    c.putref_handleAuthentication(
        MakeCallback([&seen](CComponentMethods&, const std::string&) { ++seen.logons; }));
    c.putref_handleBCDisConnect(MakeCallback([&seen](CComponentMethods&, const std::string& t) {
      (t == "false" ? seen.bcDisconnectFalse : seen.otherDisconnect) += 1;
    }));
    c.putref_handleDisConnect(MakeCallback([&seen](CComponentMethods&, const std::string& t) {
      (t == "false" ? seen.disconnectFalse : seen.otherDisconnect) += 1;
    }));
    c.putref_handleConnect(
        MakeCallback([&seen](CComponentMethods&, const std::string&) { ++seen.connects; }));
    c.putref_handleConnectionFailure(
        MakeCallback([&seen](CComponentMethods&, const std::string&) { ++seen.failures; }));
    c.putref_handleMaximumReConnection(
        MakeCallback([&seen](CComponentMethods&, const std::string&) { ++seen.maximum; }));
    c.setOCDetails(Variant::Str("127.0.0.1"),
                   Variant::Str(std::to_string(backend.InteractivePort())),
                   Variant::Str("127.0.0.1"), Variant::Str(std::to_string(backend.BroadcastPort())),
                   Variant::Str(""), Variant::Str(""));

    // Until the last number has arrived, or nothing has for 20 s.
    const int fd = static_cast<int>(c.EventWaitHandle());
    int64_t rssAtTenth = 0;
    auto lastProgress = Clock::now();
    size_t lastCount = 0;
    while (seen.numbers.empty() || seen.numbers.back() != count - 1) {
      c.PumpEvents();
      if (seen.numbers.size() != lastCount) {
        lastCount = seen.numbers.size();
        lastProgress = Clock::now();
        if (rssAtTenth == 0 && static_cast<int64_t>(lastCount) >= count / 10)
          rssAtTenth = ResidentBytes();
      } else if (Clock::now() - lastProgress > std::chrono::seconds(20)) {
        fail << "the feed stopped at " << lastCount << " messages (last number "
             << (seen.numbers.empty() ? -1 : seen.numbers.back()) << ")\n";
        break;
      }
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 50);
    }
    if (rssAtTenth != 0) *rssGrowth = std::max(*rssGrowth, ResidentBytes() - rssAtTenth);
    // Every drop (three on each port) is made, reported and followed by a new
    // connection (the last ones perhaps only after the feed has ended).
    const auto settled = [&] {
      const int64_t n = static_cast<int64_t>(backend.Drops().size());
      return (!kDrops || n == 6) && seen.connects >= 2 + n &&
             seen.bcDisconnectFalse + seen.disconnectFalse >= n;
    };
    for (auto until = Clock::now() + std::chrono::seconds(40);
         !settled() && Clock::now() < until;) {
      c.PumpEvents();
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 50);
    }
    c.PumpEvents();
    drops = backend.Drops();
    c.GetSession().Core().SetChunkObserver({});
    component.reset();
    writer.Finish({true, false, false, true, true});
  }
  backend.Stop();

  // The numbers against the drop log.
  int64_t broadcastDrops = 0, interactiveDrops = 0;
  std::vector<int64_t> resetEnds;  // the last number written before each broadcast reset
  for (const DropRecord& d : drops) {
    (d.port == LinkId::Interactive ? interactiveDrops : broadcastDrops) += 1;
    if (d.port == LinkId::Broadcast && d.kind == Drop::kReset) resetEnds.push_back(d.lastWritten);
  }
  int64_t previous = -1;
  int reported = 0;
  for (int64_t n : seen.numbers) {
    if (n <= previous) {
      if (reported++ < 5) fail << "number " << n << " after " << previous << "\n";
    } else if (n != previous + 1 &&
               std::find(resetEnds.begin(), resetEnds.end(), n - 1) == resetEnds.end()) {
      if (reported++ < 5) fail << "numbers " << previous + 1 << " to " << n - 1 << " lost\n";
    }
    previous = n;
  }
  if (seen.unexpected > 0)
    fail << seen.unexpected << " unexpected data messages, the first: " << seen.firstUnexpected
         << "\n";
  if (kDrops) {
    if (broadcastDrops != 3 || interactiveDrops != 3)
      fail << "drops: " << broadcastDrops << " broadcast, " << interactiveDrops
           << " interactive, not three each\n";
    // Each drop reported once, and followed by a new connection.
    if (seen.bcDisconnectFalse != broadcastDrops)
      fail << seen.bcDisconnectFalse << " handleBCDisConnect \"false\" for " << broadcastDrops
           << " broadcast drops\n";
    if (seen.disconnectFalse != interactiveDrops)
      fail << seen.disconnectFalse << " handleDisConnect \"false\" for " << interactiveDrops
           << " interactive drops\n";
    if (seen.failures == 0) fail << "no attempt was refused while a port restarted\n";
    if (seen.connects != 2 + static_cast<int64_t>(drops.size()))
      fail << seen.connects << " connections made for " << drops.size() << " drops\n";
  }
  if (seen.otherDisconnect != 0)
    fail << seen.otherDisconnect << " disconnect events with a text other than \"false\"\n";
  if (seen.maximum != 0) fail << "the reconnection attempts ran out\n";
  const BackendStats stats = backend.Stats();
  std::ostringstream summary;
  summary << FramingName(f.framing) << ": " << seen.numbers.size() << " of " << count
          << " messages, " << broadcastDrops << " broadcast and " << interactiveDrops
          << " interactive drops, " << stats.broadcastClients << " broadcast and "
          << stats.interactiveClients << " interactive clients, " << seen.failures
          << " refused attempts\n";
  std::cout << summary.str();
  if (!fail.str().empty()) return summary.str() + fail.str();
  return "";
}

TEST(SoakTest, NumberedFeedThroughDropsInEveryFraming) {
  const int64_t total = Messages();
  const Framed framings[] = {{Framing::kPlain, false, false},
                             {Framing::kCompressed, true, false},
                             {Framing::kEncrypted, false, true},
                             {Framing::kCompressedEncrypted, true, true}};
  // The runtime's own helpers (a sanitizer's background thread among them)
  // start with the first thread a process makes: let that happen first.
  std::thread([] {}).join();
  const int threadsBefore = Threads();
  int64_t rssGrowth = 0;
  const int64_t rssBefore = ResidentBytes();
  char tmpl[] = "/tmp/corvane-soak-XXXXXX";
  const std::string root = ::mkdtemp(tmpl);
  bool failed = false;
  uint64_t seed = 1;
  for (const Framed& f : framings) {
    SCOPED_TRACE(FramingName(f.framing));
    const std::string capture = root + "/" + FramingName(f.framing);
    const std::string failures = RunFraming(f, total / 4, seed++, capture, &rssGrowth);
    if (!failures.empty()) {
      failed = true;
      ADD_FAILURE() << failures << "capture kept in " << capture << " (corvane replay --capture "
                    << capture << ")";
    } else {
      std::filesystem::remove_all(capture);
    }
  }
  if (!failed) std::filesystem::remove_all(root);
  // Every reader, connection worker and keep-alive thread has been joined.
  EXPECT_EQ(Threads(), threadsBefore);
  // Flat: what a framing's run holds past its first tenth is bounded by the
  // component's delivery backlog limit (8 MiB) and the allocator's slack, not
  // by the length of the feed.
  if (!kAddressSanitizer) {
    EXPECT_LT(rssGrowth, int64_t{48} << 20)
        << "resident memory grew by " << (rssGrowth >> 20) << " MiB during a framing's run";
  }
  std::cout << "resident: " << (rssBefore >> 20) << " MiB before, " << (ResidentBytes() >> 20)
            << " MiB after, largest growth within a run " << (rssGrowth >> 10) << " KiB\n";
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
