// The keep-alive worker: a thread that wakes every period (once, then until
// stopped, for 0) and sends nothing. A connection's liveness is TCP
// keep-alive's business (KeepAliveTimingFor); the worker stays because
// scripts start it and expect it to run until the component goes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace corvane {

class KeepAliveWorker {
 public:
  ~KeepAliveWorker() { Stop(); }
  // Replaces a running worker by one with this period. False when the
  // thread cannot be made.
  bool Start(int32_t periodMs);
  // Asks the worker to end (it does so at once) and joins it.
  void Stop();

 private:
  void Run(int32_t periodMs);

  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace corvane
