// The reconnection worker's ordering with the owner, the anti-storm pause
// and the keep-alive timing.
#include "connection/reconnector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/platform/loopback_server.h"

namespace corvane::test {
namespace {

using Clock = std::chrono::steady_clock;

// Brief drops double the nominal pause from the base to the cap; the pause
// lies in [nominal / 2, nominal]; a stable connection resets it to nothing.
TEST(Backoff, GrowsUnderBriefDropsAndFallsBackAfterAStableConnection) {
  Backoff backoff;  // 500 ms base, 30 s cap, 10 s stable
  struct Step {
    int64_t livedMs;
    double random;
    int32_t pause;
    int32_t nominal;
  } steps[] = {
      {50, 0.0, 250, 500},      // first brief drop: the base, lowest jitter
      {50, 1.0, 1000, 1000},    // doubled, highest jitter
      {9999, 0.5, 1500, 2000},  // just short of stable is still brief
      {0, 0.0, 2000, 4000},     //
      {0, 0.0, 4000, 8000},     //
      {0, 0.0, 8000, 16000},    //
      {0, 0.0, 15000, 30000},   // capped
      {0, 1.0, 30000, 30000},   // stays at the cap
      {10000, 0.7, 0, 0},       // stayed up 10 s: at once, and back to the start
      {100, 0.0, 250, 500},     // the next brief drop starts from the base again
      {3600000, 0.0, 0, 0},     //
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.livedMs);
    EXPECT_EQ(backoff.AfterDrop(step.livedMs, step.random), step.pause);
    EXPECT_EQ(backoff.Nominal(), step.nominal);
  }
}

TEST(Backoff, JitterStaysInsideItsRange) {
  Backoff backoff(BackoffPolicy{100, 800, 1000});
  for (int i = 0; i < 6; ++i) {
    const double r = i / 6.0;
    const int32_t pause = backoff.AfterDrop(1, r);
    EXPECT_GE(pause, backoff.Nominal() / 2);
    EXPECT_LE(pause, backoff.Nominal());
  }
  EXPECT_EQ(backoff.Nominal(), 800);
}

// The budget in which a vanished peer fails the socket: idle + 10 probes.
TEST(KeepAliveTiming, DefaultsAndTheScriptsInterval) {
  struct Case {
    int32_t intervalMs;
    int idle, interval;
  } cases[] = {
      {0, 10000, 2000},      // none given: 30 s
      {-5, 10000, 2000},     //
      {60000, 10000, 2000},  // longer than the default: the default
      {5000, 5000, 1000},    // 3 x 5 s
      {1000, 1000, 200},     // 3 x 1 s
      {10, 1000, 200},       // never below 3 s
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.intervalMs);
    const net::KeepAliveTiming t = KeepAliveTimingFor(c.intervalMs);
    EXPECT_EQ(t.probes, 10);
    EXPECT_EQ(t.idleMs, c.idle);
    EXPECT_EQ(t.intervalMs, c.interval);
  }
}

// A run waits in Wait; the owner's BeginOwner cancels it and returns only
// once the run has returned; no run starts while the owner holds it, and a
// trigger during that time runs after EndOwner.
TEST(Reconnector, OwnerCancelsAndJoinsARunAndRunsNeverInterleave) {
  std::atomic<int> runs{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> ownerInside{false};
  Reconnector worker([&](Reconnector& w) {
    if (ownerInside.load()) overlapped.store(true);
    ++inside;
    ++runs;
    w.Wait(60000);
    --inside;
  });
  ASSERT_TRUE(worker.Start());
  worker.Trigger();
  ASSERT_TRUE(WaitUntil([&] { return inside.load() == 1; }));
  const auto start = Clock::now();
  worker.BeginOwner();
  ownerInside.store(true);
  EXPECT_EQ(inside.load(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  worker.Trigger();  // held back while the owner has the connection
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(runs.load(), 1);
  worker.BeginOwner();  // nests
  worker.EndOwner();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(runs.load(), 1);
  ownerInside.store(false);
  worker.EndOwner();
  ASSERT_TRUE(WaitUntil([&] { return runs.load() == 2; }));
  EXPECT_FALSE(overlapped.load());
  worker.Stop();  // wakes the second run's long wait at once
  EXPECT_EQ(inside.load(), 0);
}

// A trigger that arrives while the owner holds the connection survives the
// owner's nested holds (a connection it just made may already have dropped)
// and runs once the owner lets go; several triggers make one run.
TEST(Reconnector, TriggersDuringTheOwnersHoldRunOnceAfterIt) {
  std::atomic<int> runs{0};
  Reconnector worker([&](Reconnector&) { ++runs; });
  ASSERT_TRUE(worker.Start());
  worker.BeginOwner();
  worker.Trigger();
  worker.Trigger();
  worker.Cancel();  // nested: keeps the trigger
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(runs.load(), 0);
  EXPECT_TRUE(worker.Busy());
  worker.EndOwner();
  ASSERT_TRUE(WaitUntil([&] { return runs.load() == 1 && !worker.Busy(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(runs.load(), 1);
}

TEST(Reconnector, StopEndsALongWaitAtOnceAndCanStartAgain) {
  std::atomic<int> waits{0};
  std::atomic<bool> waitResult{true};
  Reconnector worker([&](Reconnector& w) {
    ++waits;
    waitResult.store(w.Wait(30000));
  });
  ASSERT_TRUE(worker.Start());
  worker.Trigger();
  ASSERT_TRUE(WaitUntil([&] { return waits.load() == 1; }));
  const auto start = Clock::now();
  worker.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(waitResult.load());
  EXPECT_TRUE(worker.Cancelled());
  ASSERT_TRUE(worker.Start());
  worker.Trigger();
  ASSERT_TRUE(WaitUntil([&] { return waits.load() == 2; }));
  worker.Stop();
}

}  // namespace
}  // namespace corvane::test
