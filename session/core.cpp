#include "session/core.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace corvane {

std::shared_ptr<ProxySettingsSource> SessionCore::ProxySource() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_proxySource;
}

void SessionCore::SetProxySource(std::shared_ptr<ProxySettingsSource> source) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_proxySource = std::move(source);
}

std::shared_ptr<TlsPolicySource> SessionCore::TlsPolicyFrom() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_tlsPolicy;
}

void SessionCore::SetTlsPolicySource(std::shared_ptr<TlsPolicySource> source) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tlsPolicy = std::move(source);
}

void SessionCore::SetReconnectPolicy(BackoffPolicy policy, std::function<double()> random,
                                     std::function<int64_t()> clockMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_policy = policy;
  if (random) m_random = std::move(random);
  if (clockMs) m_clockMs = std::move(clockMs);
}

BackoffPolicy SessionCore::Policy() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_policy;
}

double SessionCore::Random() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_random) {
    m_random = [engine = std::minstd_rand(std::random_device{}())]() mutable {
      return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
    };
  }
  return m_random();
}

int64_t SessionCore::NowMs() const {
  std::function<int64_t()> clock;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    clock = m_clockMs;
  }
  if (clock) return clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SessionCore::QueueConnectionEvent(Event event) {
  // Marked before it is queued, so a catch-up that misses the mark finds
  // nothing of it in the queue either.
  m_connectionEventQueued.store(1);
  router.QueueEvent(std::move(event));
}

void SessionCore::SetAttemptFloor(int32_t ms) {
  std::lock_guard<std::mutex> lock(m_paceMutex);
  m_attemptFloor = std::chrono::milliseconds(ms > 0 ? ms : 0);
}

bool SessionCore::PaceAttempt(const std::function<bool()>& cancelled) {
  using Clock = std::chrono::steady_clock;
  // The session's own steady clock, not the reconnection clock (NowMs),
  // which tests replace.
  std::unique_lock<std::mutex> lock(m_paceMutex);
  for (;;) {
    if (m_abandoned.load() || (cancelled && cancelled())) return false;
    const Clock::time_point now = Clock::now();
    if (m_attemptFloor.count() == 0 || !m_lastAttempt || now >= *m_lastAttempt + m_attemptFloor) {
      m_lastAttempt = now;
      return true;
    }
    // Both links' attempts may wait here: the first to find the floor passed
    // takes it, and the other waits a floor more.
    const Clock::time_point due = *m_lastAttempt + m_attemptFloor;
    m_paced.wait_until(lock, std::min(due, now + std::chrono::milliseconds(50)));
  }
}

void SessionCore::Abandon() {
  {
    std::lock_guard<std::mutex> lock(m_paceMutex);
    m_abandoned.store(true);
  }
  m_paced.notify_all();
}

void SessionCore::SetChunkObserver(ChunkObserver observer) {
  std::shared_ptr<const ChunkObserver> next;
  if (observer) next = std::make_shared<const ChunkObserver>(std::move(observer));
  std::lock_guard<std::mutex> lock(m_mutex);
  m_chunkObserved.store(next != nullptr);
  m_chunkObserver = std::move(next);
}

void SessionCore::ObserveChunk(const ReceivedChunk& chunk) {
  if (!m_chunkObserved.load()) return;
  std::shared_ptr<const ChunkObserver> observer;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    observer = m_chunkObserver;
  }
  if (!observer) return;
  try {
    (*observer)(chunk);
  } catch (...) {
    // A failing observer must not change what the component receives.
  }
}

}  // namespace corvane
