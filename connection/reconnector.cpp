// Reconnection worker, backoff and keep-alive timing (see reconnector.h).
#include "connection/reconnector.h"

#include <algorithm>
#include <chrono>

namespace corvane {

int32_t Backoff::AfterDrop(int64_t livedMs, double random01) {
  if (livedMs >= m_policy.stableMs) {
    // The connection was good: come back at once, start afresh.
    m_nominal = 0;
    return 0;
  }
  const int32_t base = std::max<int32_t>(1, m_policy.baseMs);
  const int32_t cap = std::max(base, m_policy.capMs);
  m_nominal = m_nominal <= 0 ? base : (m_nominal > cap / 2 ? cap : m_nominal * 2);
  const double r = std::clamp(random01, 0.0, 1.0);
  const int32_t half = m_nominal / 2;
  return half + static_cast<int32_t>(r * static_cast<double>(m_nominal - half));
}

net::KeepAliveTiming KeepAliveTimingFor(int32_t keepAliveIntervalMs) {
  constexpr int32_t kDefaultBudgetMs = 30000;
  constexpr int32_t kMinimumBudgetMs = 3000;
  int32_t budget = kDefaultBudgetMs;
  if (keepAliveIntervalMs > 0 && keepAliveIntervalMs < kDefaultBudgetMs / 3) {
    budget = std::max(kMinimumBudgetMs, keepAliveIntervalMs * 3);
  }
  net::KeepAliveTiming timing;
  timing.probes = 10;
  timing.idleMs = budget / 3;
  timing.intervalMs = (budget - timing.idleMs) / timing.probes;
  return timing;
}

Reconnector::~Reconnector() {
  try {
    Stop();
  } catch (...) {
  }
}

bool Reconnector::Start() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_thread.joinable()) return true;
  try {
    m_bStop = false;
    m_thread = std::thread([this] { Loop(); });
    return true;
  } catch (...) {
    return false;
  }
}

void Reconnector::Trigger() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bTriggered = true;
  }
  m_wake.notify_all();
}

void Reconnector::BeginOwner() {
  std::unique_lock<std::mutex> lock(m_mutex);
  // The owner's sequence makes the connection anew: a run asked for before
  // it is superseded. A nested hold keeps a trigger that arrived during the
  // outer one (a connection the owner just made may have dropped already).
  if (m_nOwnerDepth++ == 0) m_bTriggered = false;
  if (m_bInRun) {
    m_bCancel = true;
    m_wake.notify_all();
    m_wake.wait(lock, [this] { return !m_bInRun; });
  }
}

void Reconnector::EndOwner() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nOwnerDepth > 0) --m_nOwnerDepth;
  }
  m_wake.notify_all();
}

void Reconnector::Cancel() {
  BeginOwner();
  EndOwner();
}

void Reconnector::DropTrigger() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bTriggered = false;
}

void Reconnector::Stop() {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    m_bCancel = true;
    m_bTriggered = false;
    worker = std::move(m_thread);
  }
  m_wake.notify_all();
  if (worker.joinable()) {
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();  // never reached: runs do not stop their own worker
    } else {
      worker.join();
    }
  }
}

bool Reconnector::Wait(int32_t milliseconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (milliseconds > 0) {
    m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds),
                    [this] { return m_bCancel || m_bStop; });
  }
  return !(m_bCancel || m_bStop);
}

bool Reconnector::Cancelled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bCancel || m_bStop;
}

bool Reconnector::Busy() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bInRun || m_bTriggered;
}

void Reconnector::Loop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_bStop || (m_bTriggered && m_nOwnerDepth == 0); });
    if (m_bStop) return;
    m_bTriggered = false;
    m_bCancel = false;
    m_bInRun = true;
    lock.unlock();
    try {
      m_run(*this);
    } catch (...) {
    }
    lock.lock();
    m_bInRun = false;
    m_wake.notify_all();
  }
}

}  // namespace corvane
