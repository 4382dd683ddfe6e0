// End to end on loopback: a feed server's send to the component's data
// callback, for each framing, with the component's reader (wait until
// readable, at most 100 ms) and with a benchmark-only reader that keeps the
// old fixed 100 ms pause after every read.
//
// The feed server accepts one client and writes, after the logon response,
// messages "34=SEQ|60=NANOS|58=PADDING" (NANOS: the steady clock when the
// message was stamped), one per response for latency and batched for
// throughput. The owner thread waits on the component's event handle and
// pumps; the data callback takes the latency from the stamp. Encrypted
// framings use the session key throughout (the key switch is set up before
// each run).
//
// Latency: p50 / p99 in microseconds at a moderate rate. Throughput:
// messages per second and wire MB/s of a feed sent as fast as the client
// reads. RssFlat: resident memory growth in KiB between the first tenth and
// the end of a million-message feed, with the largest backlog of messages
// routed on the reader thread but not yet delivered on the owner thread.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "codec/keys.h"
#include "component/component_methods.h"
#include "platform/socket.h"
#include "protocol/encoder.h"
#include "protocol/wire.h"
#include "tests/receive/streams.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

enum Framing : int64_t { kPlain, kEncrypted, kCompressed, kCompressedEncrypted };
enum Policy : int64_t { kWaitReadable, kFixedPause };

constexpr std::string_view kKey = test::kSessionKey;
constexpr int kMessageSize = 100;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

std::string Message(int64_t sequence, int64_t stamp) {
  std::string m = "34=" + std::to_string(sequence) + "|60=" + std::to_string(stamp) + "|58=";
  if (m.size() < kMessageSize) m.append(kMessageSize - m.size(), 'x');
  return m;
}

std::string Encode(Framing framing, const std::string& block) {
  switch (framing) {
    case kPlain:
      return wire::Response(block, test::kFeedLines);
    case kEncrypted:
      return wire::Response(wire::EncryptedBody(block, test::kSession), test::kFeedLines);
    case kCompressed:
      return wire::Response(wire::CompressedFrame(block), test::kFeedLines);
    case kCompressedEncrypted:
      return wire::Response(wire::CompressedFrame(block, test::kSession), test::kFeedLines);
  }
  return {};
}

// One client; sends what the producer gives it, then waits to be stopped.
class FeedServer {
 public:
  explicit FeedServer(std::function<void(SocketHandle)> producer)
      : m_producer(std::move(producer)) {
    m_listener = net::Listen("127.0.0.1", 0);
    m_port = net::LocalPort(m_listener);
    m_thread = std::thread([this] {
      while (!m_stop.load() && net::WaitReadable(m_listener, 10) != net::WaitResult::Ready) {
      }
      if (m_stop.load()) return;
      SocketHandle client = net::Accept(m_listener);
      if (client == 0) return;
      m_producer(client);
      while (!m_stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      net::Close(client);
    });
  }
  ~FeedServer() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    net::Close(m_listener);
  }
  int32_t Port() const { return m_port; }

  static bool SendAll(SocketHandle s, std::string_view data) {
    while (!data.empty()) {
      int n = net::Send(s, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 20)));
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

 private:
  std::function<void(SocketHandle)> m_producer;
  SocketHandle m_listener = 0;
  int32_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// The old receive loop, driven from outside the component: one read, the
// dispatch, then a fixed 100 ms pause, data or not.
class FixedPauseReader {
 public:
  FixedPauseReader(CComponentMethods& component, int32_t port) : m_component(component) {
    m_socket = net::CreateTcpSocket();
    net::Connect(m_socket, "127.0.0.1", port);
    net::SetNonBlocking(m_socket);
    m_thread = std::thread([this] { Run(); });
  }
  ~FixedPauseReader() {
    m_stop.store(true);
    m_thread.join();
    net::Close(m_socket);
  }

 private:
  void Run() {
    std::vector<unsigned char> buffer(kRecvBufferSize);
    while (!m_stop.load()) {
      std::fill(buffer.begin(), buffer.end(), 0);
      int n = net::Recv(m_socket, buffer.data(), kRecvBufferSize);
      if (n > 0) {
        Link& link = m_component.GetSession().Interactive();
        link.SetDataSeen(true);
        link.Receive(n, buffer.data());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  CComponentMethods& m_component;
  SocketHandle m_socket = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

struct Observed {
  int64_t messages = 0;
  Clock::time_point first;
  Clock::time_point last;
  std::vector<int64_t> latencies;  // nanoseconds
  int64_t rssAtTenth = 0;
  int64_t tenth = -1;
  int64_t maxBacklog = 0;  // messages routed but not yet delivered
};

int64_t TagValue(const std::string& message, std::string_view tag) {
  const size_t at = message.find(tag);
  if (at == std::string::npos) return -1;
  return std::strtoll(message.c_str() + at + tag.size(), nullptr, 10);
}

int64_t ResidentBytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// A component set for the framing, feeding Observed from its data callback,
// connected to the server by the chosen reader; pumps until `expected`
// messages have arrived or the time-out passes. Returns the seconds taken.
double Run(Framing framing, Policy policy, FeedServer& server, int64_t expected, Observed& seen,
           bool measureLatency, int timeoutSeconds) {
  auto c = CComponentMethods::Create();
  c->GetSession().Core().keys.FixedKeyDone();
  c->GetSession().Core().keys.SetSessionKey(kKey);
  c->setMultiOC(Variant::Bool(false));
  const bool compressed = framing == kCompressed || framing == kCompressedEncrypted;
  const bool encrypted = framing == kEncrypted || framing == kCompressedEncrypted;
  c->setCompression(compressed ? Variant::I4(1) : Variant::Bool(false));
  c->setEncryption(encrypted ? Variant::I4(1) : Variant::Bool(false));
  c->GetSession().Core().SetProxySource(nullptr);  // unreadable: direct
  c->putref_handleData(MakeCallback([&](CComponentMethods&, const std::string& text) {
    if (measureLatency) seen.latencies.push_back(Now() - TagValue(text, "60="));
    if (seen.messages++ == 0) seen.first = Clock::now();
    seen.last = Clock::now();
    if (seen.messages == seen.tenth) seen.rssAtTenth = ResidentBytes();
  }));
  const auto start = Clock::now();
  std::unique_ptr<FixedPauseReader> fixed;
  if (policy == kWaitReadable) {
    Variant result;
    c->SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(server.Port()), Variant::I4(0),
                        Variant::I4(1), &result);
  } else {
    fixed = std::make_unique<FixedPauseReader>(*c, server.Port());
  }
  pollfd p{static_cast<int>(c->EventWaitHandle()), POLLIN, 0};
  const auto deadline = start + std::chrono::seconds(timeoutSeconds);
  while (seen.messages < expected && Clock::now() < deadline) {
    poll(&p, 1, 10);
    Variant routed;
    c->getPacketCount(&routed);
    seen.maxBacklog = std::max<int64_t>(seen.maxBacklog, routed.intValue - seen.messages);
    c->PumpEvents();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  fixed.reset();
  return seconds;
}

std::string Logon(Framing framing) {
  return Encode(framing,
                "\x02"
                "70=10000|394=" +
                    std::string(kKey));
}

void Latency(benchmark::State& state) {
  const auto framing = static_cast<Framing>(state.range(0));
  const auto policy = static_cast<Policy>(state.range(1));
  constexpr int kRate = 1000;  // messages per second
  const int64_t count = policy == kWaitReadable ? 2000 : 500;
  for (auto _ : state) {
    FeedServer server([&](SocketHandle s) {
      FeedServer::SendAll(s, Logon(framing));
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      auto next = Clock::now();
      for (int64_t i = 0; i < count; ++i) {
        std::this_thread::sleep_until(next);
        next += std::chrono::microseconds(1000000 / kRate);
        if (!FeedServer::SendAll(s, Encode(framing, "\x02" + Message(i, Now())))) return;
      }
    });
    Observed seen;
    const double seconds = Run(framing, policy, server, count, seen, true, 60);
    state.SetIterationTime(seconds);
    std::sort(seen.latencies.begin(), seen.latencies.end());
    if (seen.latencies.empty()) {
      state.SkipWithError("no messages arrived");
      return;
    }
    auto at = [&](double q) {
      return static_cast<double>(seen.latencies[static_cast<size_t>(
                 q * static_cast<double>(seen.latencies.size() - 1))]) /
             1000.0;
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["messages"] = static_cast<double>(seen.messages);
  }
}

// A pre-built feed: responses of `batch` messages each.
std::string BuildFeed(Framing framing, int64_t count, int batch) {
  std::string feed;
  std::string block;
  for (int64_t i = 0; i < count; ++i) {
    block += wire::kStx;
    block += Message(i, 0);
    if ((i + 1) % batch == 0 || i + 1 == count) {
      feed += Encode(framing, block);
      block.clear();
    }
  }
  return feed;
}

void Throughput(benchmark::State& state) {
  const auto framing = static_cast<Framing>(state.range(0));
  const auto policy = static_cast<Policy>(state.range(1));
  // The fixed pause reads 32 KiB per 100 ms: its feed is kept to a few seconds.
  const int64_t count = policy == kWaitReadable ? 300000 : 12000;
  const std::string feed = BuildFeed(framing, count, 16);
  for (auto _ : state) {
    FeedServer server([&](SocketHandle s) {
      FeedServer::SendAll(s, Logon(framing));
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      FeedServer::SendAll(s, feed);
    });
    Observed seen;
    Run(framing, policy, server, count, seen, false, 120);
    if (seen.messages < count) {
      state.SkipWithError("the feed did not arrive in time");
      return;
    }
    // From the first message to the last: the logon pause is not counted.
    const double seconds = std::chrono::duration<double>(seen.last - seen.first).count();
    state.SetIterationTime(seconds);
    state.counters["msgs_per_s"] = static_cast<double>(count - 1) / seconds;
    state.counters["wire_MB_per_s"] = static_cast<double>(feed.size()) / seconds / 1e6;
  }
}

void RssFlat(benchmark::State& state) {
  constexpr int64_t kCount = 1000000;
  constexpr int64_t kChunk = 800;
  for (auto _ : state) {
    // Produced in small pieces into reused buffers, so that the server's own
    // allocations do not show in the process's resident memory.
    FeedServer server([&](SocketHandle s) {
      FeedServer::SendAll(s, Logon(kPlain));
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      std::string piece;
      std::string block;
      piece.reserve(128 * 1024);
      block.reserve(4096);
      for (int64_t sent = 0; sent < kCount; sent += kChunk) {
        piece.clear();
        for (int64_t i = sent; i < sent + kChunk; i += 16) {
          block.clear();
          for (int64_t j = i; j < std::min(i + 16, sent + kChunk); ++j) {
            block += wire::kStx;
            block += Message(j, 0);
          }
          piece += "HTTP/1.1 200 OK\r\nContent-Length: ";
          piece += std::to_string(block.size());
          piece += "\r\n\r\n";
          piece += block;
        }
        if (!FeedServer::SendAll(s, piece)) return;
      }
    });
    Observed seen;
    seen.tenth = kCount / 10;
    const double seconds = Run(kPlain, kWaitReadable, server, kCount, seen, false, 300);
    state.SetIterationTime(seconds);
    if (seen.messages < kCount) {
      state.SkipWithError("the feed did not arrive in time");
      return;
    }
    state.counters["max_backlog"] = static_cast<double>(seen.maxBacklog);
    state.counters["rss_growth_KiB"] =
        static_cast<double>(ResidentBytes() - seen.rssAtTenth) / 1024.0;
    state.counters["msgs_per_s"] = static_cast<double>(kCount) / seconds;
  }
}

BENCHMARK(Latency)
    ->ArgNames({"framing", "fixed_pause"})
    ->ArgsProduct({{kPlain, kEncrypted, kCompressed, kCompressedEncrypted},
                   {kWaitReadable, kFixedPause}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Throughput)
    ->ArgNames({"framing", "fixed_pause"})
    ->ArgsProduct({{kPlain, kEncrypted, kCompressed, kCompressedEncrypted},
                   {kWaitReadable, kFixedPause}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RssFlat)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
