// Reconnection on loopback, against the sandbox back end's drops:
//
//   DropToBCDisConnect      the back end closes (FIN) or resets (RST) the
//                           broadcast connection -> the script's
//                           handleBCDisConnect "false" on the owner thread
//   ServerReturnToFirstData the broadcast port listens again after a restart
//                           -> the first feed message of the new connection
//                           in handleData (the component retries every 50 ms
//                           while the port refuses)
//   FreshConnectToFirstData the reference: setOCDetails -> the first feed
//                           message, a connection made by the script's call
//
// Each iteration is one fresh component and one drop (the component's pause
// before reconnecting grows with every brief drop, so drops are not repeated
// on one component). Times are steady-clock intervals between the back end's
// drop log and the callbacks; the counter "ratio" puts each against the
// reference measured in the same run.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "component/component_methods.h"
#include "tools/common/backend.h"

namespace corvane {
namespace {

using tools::BackendOptions;
using tools::Drop;
using tools::SandboxBackend;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int kRestartPauseMs = 300;
double g_referenceNanos = 0;

struct Times {
  int64_t firstData = 0;       // the first feed message of the first connection
  int64_t bcDisconnect = 0;    // handleBCDisConnect "false"
  int64_t firstDataAfter = 0;  // the first feed message after the drop
};

// One component against one back end: connects, waits for data, lets the
// back end drop the broadcast client once (after `every` messages; 0: never),
// waits for the feed to come back. False when something did not come in 10 s.
bool RunOnce(Drop kind, int64_t every, Times* t, int64_t* connectedAt,
             std::vector<tools::DropRecord>* drops) {
  BackendOptions o;
  o.feedStart = BackendOptions::FeedStart::kConnect;
  o.feedLogon = true;
  o.rate = 200;
  o.continueSequence = true;
  if (every > 0) {
    o.drops = {kind};
    o.dropEvery = every;
    o.dropLimit = 1;
    o.dropInteractive = false;
    o.restartPauseMs = kRestartPauseMs;
  }
  SandboxBackend backend(o);
  if (!backend.Start(nullptr)) return false;
  std::unique_ptr<CComponentMethods> c = CComponentMethods::Create();
  c->setMultiOC(Variant::I4(1));
  c->setCompression(Variant::Bool(false));
  c->setEncryption(Variant::Bool(false));
  c->setTimerDetails(Variant::I4(50), Variant::I4(100));
  bool dropped = false;
  c->putref_handleData(MakeCallback([&](CComponentMethods&, const std::string& text) {
    if (text.rfind("35=X|34=", 0) != 0) return;
    if (t->firstData == 0) t->firstData = Now();
    if (dropped && t->firstDataAfter == 0) t->firstDataAfter = Now();
  }));
  c->putref_handleBCDisConnect(MakeCallback([&](CComponentMethods&, const std::string& text) {
    if (text == "false" && t->bcDisconnect == 0) {
      t->bcDisconnect = Now();
      dropped = true;
    }
  }));
  *connectedAt = Now();
  c->setOCDetails(Variant::Str("127.0.0.1"),
                  Variant::Str(std::to_string(backend.InteractivePort())),
                  Variant::Str("127.0.0.1"), Variant::Str(std::to_string(backend.BroadcastPort())),
                  Variant::Str(""), Variant::Str(""));
  const int fd = static_cast<int>(c->EventWaitHandle());
  const int64_t deadline = Now() + int64_t{10000000000};
  auto done = [&] { return every > 0 ? t->firstDataAfter != 0 : t->firstData != 0; };
  while (!done() && Now() < deadline) {
    c->PumpEvents();
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 5);
  }
  c.reset();
  *drops = backend.Drops();
  return done() && (every == 0 || drops->size() == 1);
}

void FreshConnectToFirstData(benchmark::State& state) {
  double total = 0;
  for (auto _ : state) {
    Times t;
    int64_t connectedAt = 0;
    std::vector<tools::DropRecord> drops;
    if (!RunOnce(Drop::kClose, 0, &t, &connectedAt, &drops)) {
      state.SkipWithError("no feed");
      return;
    }
    const double s = static_cast<double>(t.firstData - connectedAt);
    state.SetIterationTime(s / 1e9);
    total += s;
  }
  g_referenceNanos = total / static_cast<double>(state.iterations());
  state.counters["ratio"] = 1;
}

void DropToBCDisConnect(benchmark::State& state) {
  const Drop kind = state.range(0) == 0 ? Drop::kClose : Drop::kReset;
  state.SetLabel(tools::DropName(kind));
  double total = 0;
  for (auto _ : state) {
    Times t;
    int64_t connectedAt = 0;
    std::vector<tools::DropRecord> drops;
    if (!RunOnce(kind, 5, &t, &connectedAt, &drops)) {
      state.SkipWithError("no drop or no reconnection");
      return;
    }
    const double s = static_cast<double>(t.bcDisconnect - drops[0].steadyNanos);
    state.SetIterationTime(s / 1e9);
    total += s;
  }
  if (g_referenceNanos > 0)
    state.counters["ratio"] = total / static_cast<double>(state.iterations()) / g_referenceNanos;
}

void ServerReturnToFirstData(benchmark::State& state) {
  double total = 0;
  for (auto _ : state) {
    Times t;
    int64_t connectedAt = 0;
    std::vector<tools::DropRecord> drops;
    if (!RunOnce(Drop::kRestart, 5, &t, &connectedAt, &drops)) {
      state.SkipWithError("no drop or no reconnection");
      return;
    }
    // The port listens again at the end of the pause (the back end's loop
    // wakes for it).
    const int64_t back = drops[0].steadyNanos + int64_t{kRestartPauseMs} * 1000000;
    const double s = static_cast<double>(t.firstDataAfter - back);
    state.SetIterationTime(s / 1e9);
    total += s;
  }
  if (g_referenceNanos > 0)
    state.counters["ratio"] = total / static_cast<double>(state.iterations()) / g_referenceNanos;
}

BENCHMARK(FreshConnectToFirstData)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(DropToBCDisConnect)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ServerReturnToFirstData)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
