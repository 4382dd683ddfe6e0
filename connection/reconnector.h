// Reconnection after a drop: the per-connection worker thread, the ordering
// of its runs with the owner's own sequences, the anti-storm pause, and the
// keep-alive timing of a connection.
//
// Reconnector: one worker thread per connection, made on first need (Start)
// and joined by Stop. A reader that finds its connection lost calls Trigger;
// the worker then makes one run of the owner's reconnection sequence (the Run
// given at construction) on its own thread, so the host's thread never
// blocks on an attempt or a pause. Every pause inside a run is a Wait, which
// ends at once when the run is cancelled or the worker stopped.
//
// One sequence per connection at a time. The owner's thread takes the
// connection for a sequence of its own with BeginOwner/EndOwner (OwnerScope):
// BeginOwner cancels a run in progress and waits until it has returned (a
// run inside a connect gives it up: Cancelled() is what the connect asks),
// and the outermost BeginOwner drops a trigger that has not started a run
// yet, since the owner's sequence makes the connection anew. While the owner
// holds it no run starts; a trigger that arrives meanwhile starts its run
// after the last EndOwner. BeginOwner nests on the owner's thread (a callback
// fired inside a sequence may start another). A run never calls BeginOwner
// and never waits for the owner's thread.
//
// Backoff: after a drop, the pause before the first attempt. A connection that
// stayed up at least stableMs (10 s) is made again at once and the backoff
// falls back to its start; one that lived less than that is taken for a
// server that accepts and drops again at once, and each such drop doubles the
// nominal pause from baseMs (500 ms) up to capMs (30 s). The pause is drawn
// uniformly from [nominal / 2, nominal] ("equal jitter"), so that many
// clients dropped together do not come back in step. The random source and
// the clock are the caller's, so tests can fix both.
//
// Keep-alive: KeepAliveTimingFor gives the timing of a connection's TCP
// keep-alive so that a peer that vanished without FIN or RST fails the socket
// within a budget: 30 s by default (first probe after 10 s idle, then every
// 2 s, 10 probes; 10 is also Windows' fixed count before Windows 10 1703), or
// 3 x the script's keep-alive interval when that is shorter, never below 3 s.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/socket.h"

namespace corvane {

struct BackoffPolicy {
  int32_t baseMs = 500;
  int32_t capMs = 30000;
  int32_t stableMs = 10000;
};

class Backoff {
 public:
  explicit Backoff(BackoffPolicy policy = BackoffPolicy()) : m_policy(policy) {}
  // The pause before the first attempt after the drop of a connection that
  // had been up livedMs; random01 in [0, 1) places it inside its jitter range.
  int32_t AfterDrop(int64_t livedMs, double random01);
  // The nominal pause of the latest brief drop (0 after a stable one).
  int32_t Nominal() const { return m_nominal; }
  void SetPolicy(BackoffPolicy policy) { m_policy = policy; }
  const BackoffPolicy& Policy() const { return m_policy; }

 private:
  BackoffPolicy m_policy;
  int32_t m_nominal = 0;
};

// Keep-alive timing for the script's keep-alive interval (ms, 0 or less for
// none): see the file comment.
net::KeepAliveTiming KeepAliveTimingFor(int32_t keepAliveIntervalMs);

class Reconnector {
 public:
  using Run = std::function<void(Reconnector&)>;
  explicit Reconnector(Run run) : m_run(std::move(run)) {}
  // Stops and joins the worker.
  ~Reconnector();
  Reconnector(const Reconnector&) = delete;
  Reconnector& operator=(const Reconnector&) = delete;

  // Makes the worker thread if there is none (and Stop was not called since
  // the last Start). False when the thread cannot be made.
  bool Start();
  // Any thread: asks for one run. Several triggers before the run starts
  // make one run.
  void Trigger();
  // Owner's thread: see the file comment. Safe without a worker.
  void BeginOwner();
  void EndOwner();
  // Cancels a run in progress and, when the owner does not hold the
  // connection, drops a pending trigger (BeginOwner and EndOwner in one).
  void Cancel();
  // Drops a pending trigger, also inside the owner's hold: for the owner
  // that has just ended the reader which asked.
  void DropTrigger();
  // Cancels, ends and joins the worker; it can be started again afterwards.
  void Stop();

  // Inside a run: pauses up to milliseconds; false (at once) when the run is
  // cancelled or the worker stopped.
  bool Wait(int32_t milliseconds);
  bool Cancelled() const;
  // Whether a run is in progress or pending (tests and diagnostics).
  bool Busy() const;

  class OwnerScope {
   public:
    explicit OwnerScope(Reconnector& r) : m_r(r) { m_r.BeginOwner(); }
    ~OwnerScope() { m_r.EndOwner(); }
    OwnerScope(const OwnerScope&) = delete;
    OwnerScope& operator=(const OwnerScope&) = delete;

   private:
    Reconnector& m_r;
  };

 private:
  void Loop();

  Run m_run;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::thread m_thread;
  bool m_bTriggered = false;
  bool m_bCancel = false;
  bool m_bStop = false;
  bool m_bInRun = false;
  int m_nOwnerDepth = 0;
};

}  // namespace corvane
