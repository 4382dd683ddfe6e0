// End to end through the sandbox back end: a corvane-backend process streams
// its feed on loopback; one component in this process connects both
// connections, reads, assembles and delivers; the data callback runs on this
// (the owner) thread, which waits on the component's event handle and pumps.
//
// Feed messages carry the back end's steady clock (tag 60) from when they were
// made; the steady clock is system-wide, so the callback takes the latency
// from it. The feed starts with the logon response, under the fixed key for
// the encrypted framings, and the back end pauses after it so that the
// component's first encrypted read holds it alone.
//
// Each runs plain and over TLS (second argument 1): the back end serves TLS
// with a throwaway self-signed certificate for 127.0.0.1 that this process
// alone trusts (SSL_CERT_FILE), and the component verifies it in full.
// connect_ms is how long setOCDetails took to connect both connections (with
// TLS, both handshakes and verifications).
//
// Latency: p50 and p99 in microseconds at 2000 messages/s, one message per
// response. Throughput: messages/s and message MB/s of 300 000 messages of 64
// bytes sent as fast as they are read, 32 per response. RssGrowth: resident
// memory growth in KiB of this process between the first tenth and the end of
// a feed of a million messages.
//
// The back end binary is looked up beside this one in the build tree
// (../tools/backend/corvane-backend).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "component/component_methods.h"

extern char** environ;

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kFramings[] = {"plain", "compressed", "encrypted", "compressed-encrypted"};

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

std::string BackendPath() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "corvane-backend";
  std::string path(exe, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/'));  // build/bench
  path = path.substr(0, path.rfind('/'));  // build
  return path + "/tools/backend/corvane-backend";
}

int64_t ResidentKiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// The back end's certificate and key (made once by the openssl command), the
// certificate trusted by this process; empty when they cannot be made.
const std::string& TlsDirectory() {
  static const std::string dir = [] {
    char name[] = "/tmp/corvane-bench-tls-XXXXXX";
    if (::mkdtemp(name) == nullptr) return std::string();
    const std::string d = name;
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
        "-nodes -days 2 -subj /CN=127.0.0.1 -addext "
        "subjectAltName=IP:127.0.0.1 -keyout " +
        d + "/key.pem -out " + d + "/cert.pem 2>/dev/null";
    if (std::system(make.c_str()) != 0) return std::string();
    ::setenv("SSL_CERT_FILE", (d + "/cert.pem").c_str(), 1);
    return d;
  }();
  return dir;
}

// A corvane-backend child process; ended with SIGTERM and reaped.
class BackendProcess {
 public:
  explicit BackendProcess(const std::vector<std::string>& options) {
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<std::string> args = {
        BackendPath(), "--interactive-port", "0",     "--broadcast-port",
        "0",           "--duration-ms",      "120000"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0, 0);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (m_pid > 0) {
      FILE* lines = ::fdopen(out[0], "r");
      // Line by line: a scanf pattern ending in white space would wait for more.
      char line[128];
      if (std::fgets(line, sizeof line, lines) == nullptr ||
          std::sscanf(line, "interactive %d", &m_interactive) != 1 ||
          std::fgets(line, sizeof line, lines) == nullptr ||
          std::sscanf(line, "broadcast %d", &m_broadcast) != 1)
        m_interactive = m_broadcast = 0;
      std::fclose(lines);
    } else {
      ::close(out[0]);
    }
  }
  ~BackendProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      int status;
      ::waitpid(m_pid, &status, 0);
    }
  }
  bool ok() const { return m_pid > 0 && m_interactive > 0 && m_broadcast > 0; }
  int interactive() const { return m_interactive; }
  int broadcast() const { return m_broadcast; }

 private:
  pid_t m_pid = -1;
  int m_interactive = 0;
  int m_broadcast = 0;
};

struct FeedResult {
  bool ok = false;
  int64_t messages = 0;
  int64_t bytes = 0;
  double seconds = 0;  // first data event to the last
  std::vector<int64_t> latencies;
  double connectMs = 0;
  int64_t rssAtTenth = 0;
  int64_t rssAtEnd = 0;
};

FeedResult RunFeed(int framing, bool tls, const std::vector<std::string>& feedOptions,
                   int64_t count, bool latency) {
  FeedResult r;
  std::vector<std::string> options = {
      "--framing",    kFramings[framing], "--feed-start",       "connect",
      "--feed-logon", "--count",          std::to_string(count)};
  options.insert(options.end(), feedOptions.begin(), feedOptions.end());
  if (tls) {
    if (TlsDirectory().empty()) return r;
    options.insert(options.end(), {"--tls-cert", TlsDirectory() + "/cert.pem", "--tls-key",
                                   TlsDirectory() + "/key.pem"});
  }
  BackendProcess backend(options);
  if (!backend.ok()) return r;

  auto component = CComponentMethods::Create();
  if (!component) return r;
  const bool compressed = framing == 1 || framing == 3;
  const bool encrypted = framing >= 2;
  component->setMultiOC(Variant::I4(1));
  component->setCompression(compressed ? Variant::I4(1) : Variant::Bool(false));
  component->setEncryption(encrypted ? Variant::I4(1) : Variant::Bool(false));
  if (tls) {
    Variant ignored;
    component->setTransportSecurity(Variant::I4(0), Variant::I4(1), &ignored);
  }
  if (latency) r.latencies.reserve(static_cast<size_t>(count));
  int64_t first = 0, last = 0;
  component->putref_handleData(MakeCallback([&](CComponentMethods&, const std::string& text) {
    const int64_t now = NowNanos();
    if (r.messages == 0) first = now;
    last = now;
    ++r.messages;
    r.bytes += static_cast<int64_t>(text.size());
    if (latency) {
      const size_t at = text.find("|60=");
      if (at != std::string::npos)
        r.latencies.push_back(now - std::strtoll(text.c_str() + at + 4, nullptr, 10));
    }
    if (r.messages == count / 10) r.rssAtTenth = ResidentKiB();
  }));
  const int64_t connecting = NowNanos();
  component->setOCDetails(
      Variant::Str("127.0.0.1"), Variant::Str(std::to_string(backend.interactive())),
      Variant::Str("127.0.0.1"), Variant::Str(std::to_string(backend.broadcast())),
      Variant::Str(""), Variant::Str(""));
  r.connectMs = static_cast<double>(NowNanos() - connecting) / 1e6;

  const int fd = static_cast<int>(component->EventWaitHandle());
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  while (r.messages < count && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 100);
    component->PumpEvents();
  }
  r.rssAtEnd = ResidentKiB();
  r.seconds = static_cast<double>(last - first) / 1e9;
  r.ok = r.messages == count;
  return r;
}

std::string Incomplete(const FeedResult& r) {
  return "feed incomplete after " + std::to_string(r.messages) + " messages (is " + BackendPath() +
         " built?)";
}

double Percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))]);
}

void Latency(benchmark::State& state) {
  const int framing = static_cast<int>(state.range(0));
  const bool tls = state.range(1) != 0;
  state.SetLabel(std::string(kFramings[framing]) + (tls ? " TLS" : ""));
  for (auto _ : state) {
    FeedResult r = RunFeed(framing, tls, {"--rate", "2000", "--message-size", "64"}, 4000, true);
    if (!r.ok) {
      state.SkipWithError(Incomplete(r).c_str());
      return;
    }
    state.SetIterationTime(r.seconds);
    state.counters["p50_us"] = Percentile(r.latencies, 0.50) / 1e3;
    state.counters["p99_us"] = Percentile(r.latencies, 0.99) / 1e3;
    state.counters["max_us"] = Percentile(r.latencies, 1.0) / 1e3;
    state.counters["connect_ms"] = r.connectMs;
  }
}

void Throughput(benchmark::State& state) {
  const int framing = static_cast<int>(state.range(0));
  const bool tls = state.range(1) != 0;
  state.SetLabel(std::string(kFramings[framing]) + (tls ? " TLS" : ""));
  const int64_t count = 300000;
  for (auto _ : state) {
    FeedResult r = RunFeed(framing, tls, {"--rate", "0", "--message-size", "64", "--batch", "32"},
                           count, false);
    if (!r.ok) {
      state.SkipWithError(Incomplete(r).c_str());
      return;
    }
    state.SetIterationTime(r.seconds);
    state.counters["msgs_per_s"] = static_cast<double>(r.messages) / r.seconds;
    state.counters["MB_per_s"] = static_cast<double>(r.bytes) / r.seconds / 1e6;
  }
}

void RssGrowth(benchmark::State& state) {
  const int64_t count = 1000000;
  for (auto _ : state) {
    FeedResult r =
        RunFeed(0, false, {"--rate", "0", "--message-size", "64", "--batch", "32"}, count, false);
    if (!r.ok) {
      state.SkipWithError(Incomplete(r).c_str());
      return;
    }
    state.SetIterationTime(r.seconds);
    state.counters["rss_growth_KiB"] = static_cast<double>(r.rssAtEnd - r.rssAtTenth);
    state.counters["msgs_per_s"] = static_cast<double>(r.messages) / r.seconds;
  }
}

BENCHMARK(Latency)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Throughput)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RssGrowth)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
