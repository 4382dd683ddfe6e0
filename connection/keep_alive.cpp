#include "connection/keep_alive.h"

#include <chrono>

namespace corvane {

bool KeepAliveWorker::Start(int32_t periodMs) {
  Stop();
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = false;
    m_thread = std::thread([this, periodMs] { Run(periodMs); });
    return true;
  } catch (...) {
    return false;
  }
}

void KeepAliveWorker::Stop() {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    worker = std::move(m_thread);
  }
  m_wake.notify_all();
  if (worker.joinable()) worker.join();
}

void KeepAliveWorker::Run(int32_t periodMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_stop) {
    if (periodMs > 0) {
      m_wake.wait_for(lock, std::chrono::milliseconds(periodMs), [this] { return m_stop; });
    } else {
      m_wake.wait(lock, [this] { return m_stop; });
    }
    // A tick: nothing is sent.
  }
}

}  // namespace corvane
