// Drops on loopback: the time from the broadcast server dropping its
// connection to handleBCDisConnect on the owner thread, and from the server's
// return (listening again) to the first message read on the new connection.
// The reference, measured in the same run, is one message on a live
// connection: the server's send to handleData.
//
// The component is logged on over its interactive connection; the broadcast
// server is driven from the benchmark thread, which also pumps the owner
// thread's events. The anti-storm pause is off (every connection counts as
// stable) so the figures are the component's own reaction; while the server
// is away the worker retries every 20 ms (setTimerDetails 20, 1000).
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "component/component_methods.h"
#include "platform/socket.h"
#include "tests/receive/streams.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

struct Rig {
  SocketHandle interactiveListener = 0;
  SocketHandle bcastListener = 0;
  SocketHandle interactive = 0;
  SocketHandle bcast = 0;
  int32_t bcastPort = 0;
  std::unique_ptr<CComponentMethods> c;
  std::atomic<int> bcDisconnects{0};
  std::atomic<int> connects{0};
  std::atomic<int> data{0};

  Rig() {
    net::Startup();
    interactiveListener = net::Listen("127.0.0.1", 0);
    bcastListener = net::Listen("127.0.0.1", 0);
    bcastPort = net::LocalPort(bcastListener);
    c = CComponentMethods::Create();
    c->setMultiOC(Variant::I4(1));
    c->setCompression(Variant::Bool(false));
    c->setEncryption(Variant::Bool(false));
    c->setTimerDetails(Variant::I4(20), Variant::I4(1000));
    c->SetReconnectPolicy(BackoffPolicy{1, 1, 0});
    c->putref_handleBCDisConnect(
        MakeCallback([this](CComponentMethods&, const std::string&) { ++bcDisconnects; }));
    c->putref_handleConnect(
        MakeCallback([this](CComponentMethods&, const std::string&) { ++connects; }));
    c->putref_handleData(MakeCallback([this](CComponentMethods&, const std::string&) { ++data; }));
    c->setOCDetails(Variant::Str("127.0.0.1"),
                    Variant::Str(std::to_string(net::LocalPort(interactiveListener))),
                    Variant::Str("127.0.0.1"), Variant::Str(std::to_string(bcastPort)),
                    Variant::Str(""), Variant::Str(""));
    interactive = net::Accept(interactiveListener);
    bcast = net::Accept(bcastListener);
    SendAll(interactive, test::Response("\x02"
                                        "70=10000"));
    PumpUntil([&] { return c->GetSnapshot().loggedOn; });
  }
  ~Rig() {
    c.reset();
    for (SocketHandle s : {interactive, bcast, interactiveListener, bcastListener}) net::Close(s);
    net::Cleanup();
  }
  static void SendAll(SocketHandle s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = net::Send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  template <class F>
  void PumpUntil(F done) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < deadline) {
      c->PumpEvents();
      std::this_thread::yield();
    }
  }
  void Message() {
    const int before = data.load();
    SendAll(bcast, test::Response("\x02"
                                  "1=x"));
    PumpUntil([&] { return data.load() > before; });
  }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reference: one message on a live broadcast connection.
void BM_MessageOnLiveConnection(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    const auto start = Clock::now();
    rig.Message();
    state.SetIterationTime(Seconds(Clock::now() - start));
  }
}
BENCHMARK(BM_MessageOnLiveConnection)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

// The server closes (or resets) the broadcast connection: time to the event.
void BM_DropToBCDisConnect(benchmark::State& state) {
  Rig rig;
  const bool reset = state.range(0) != 0;
  for (auto _ : state) {
    const int before = rig.bcDisconnects.load();
    const int connects = rig.connects.load();
    if (reset) {
      linger option{1, 0};
      setsockopt(static_cast<int>(rig.bcast), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    }
    const auto start = Clock::now();
    net::Close(rig.bcast);
    rig.PumpUntil([&] { return rig.bcDisconnects.load() > before; });
    state.SetIterationTime(Seconds(Clock::now() - start));
    rig.bcast = net::Accept(rig.bcastListener);
    rig.PumpUntil([&] { return rig.connects.load() > connects; });
  }
}
BENCHMARK(BM_DropToBCDisConnect)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMicrosecond);

// The server goes away, the worker retries every 20 ms, the server listens
// again and sends a message at once: time from listening to that message.
void BM_ServerReturnToFirstMessage(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    const int before = rig.bcDisconnects.load();
    net::Close(rig.bcastListener);
    net::Close(rig.bcast);
    rig.PumpUntil([&] { return rig.bcDisconnects.load() > before; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // attempts are refused
    const auto start = Clock::now();
    rig.bcastListener = net::Listen("127.0.0.1", rig.bcastPort);
    rig.bcast = net::Accept(rig.bcastListener);
    rig.Message();
    state.SetIterationTime(Seconds(Clock::now() - start));
  }
}
BENCHMARK(BM_ServerReturnToFirstMessage)
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
