// Drops found by the readers, and the reconnection workers.
//
// A reader that finds its connection closed (end of stream) or failed (a
// socket error other than would-block) tells the component (OnLost) and
// stops reading that socket. The component clears the connection's reading
// flag, queues "false" for the owner thread (handleDisConnect for the
// interactive connection, handleBCDisConnect for the broadcast one), in order
// behind every message read before the drop, and wakes that connection's
// reconnection worker. The reader itself opens, closes and joins nothing.
//
// A worker run, on the worker's thread: the anti-storm pause (Backoff: none
// after a connection that stayed up 10 s or more; otherwise doubling from
// 500 ms to 30 s with jitter), then up to m_nSocketReconnCount + 1 attempts
// with the reconnection time (setTimerDetails' first argument, milliseconds)
// between them. Every attempt reports as the script's own sequences do, only
// queued: "1" or "2" on handleConnectionFailure per failed attempt, "true" on
// handleConnect when made (reading resumes on the new socket), "1" or "2" on
// handleMaximumReConnection when the attempts are used up; the connection
// then stays down until the script asks again.
//
// Ordering with the script: a script call that connects (SetServerDetails,
// setOCDetails, ConnectToServer, sendRequest's reconnection) first takes the
// connection from its worker (Reconnector::OwnerScope: a run in progress is
// cancelled and joined; a pause ends at once, a connect under way is given
// up and reports nothing). Before the call fires anything of its own it
// delivers, on its thread, every event already queued up to the last queued
// connection event, so the script sees the drop ("false") and what the worker
// reported before the call's own, synchronous events, in the order they
// happened. A drop whose "false" the reader queued is not reported a second
// time by sendRequest's failure path.
#include <algorithm>
#include <chrono>
#include <random>

#include "component/component_methods.h"

namespace corvane {
namespace {

constexpr size_t kPausesKept = 64;

int Index(bool interactive) { return interactive ? 0 : 1; }

}  // namespace

int64_t CComponentMethods::NowMs() const {
  std::function<int64_t()> clock;
  {
    std::lock_guard<std::mutex> lock(m_reconnectMutex);
    clock = m_clockMs;
  }
  if (clock) return clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CComponentMethods::SetReconnectPolicy(BackoffPolicy policy, std::function<double()> random,
                                           std::function<int64_t()> clockMs) {
  std::lock_guard<std::mutex> lock(m_reconnectMutex);
  for (auto& backoff : m_backoff) backoff.SetPolicy(policy);
  if (random) m_random = std::move(random);
  if (clockMs) m_clockMs = std::move(clockMs);
}

std::vector<int32_t> CComponentMethods::ReconnectPauses(bool interactive) const {
  std::lock_guard<std::mutex> lock(m_reconnectMutex);
  return m_pauses[Index(interactive)];
}

bool CComponentMethods::ReconnectBusy(bool interactive) const {
  return (interactive ? m_interactiveWorker : m_bcastWorker).Busy();
}

void CComponentMethods::NoteConnected(bool interactive) {
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(m_reconnectMutex);
  m_connectedAtMs[Index(interactive)] = now;
}

void CComponentMethods::QueueConnectionEvent(EventKind kind, std::string_view text) {
  // Marked before it is queued, so a catch-up that misses the mark finds
  // nothing of it in the queue either.
  m_bConnectionEventQueued.store(1);
  m_router.QueueEvent(kind, std::string(text));
}

void CComponentMethods::DeliverQueuedConnectionEvents() {
  if (m_bConnectionEventQueued.exchange(0) == 0) return;
  // Everything queued now, in order (the messages read before a drop come
  // before its "false"); what is queued meanwhile waits for the ordinary
  // delivery. The ordinary delivery may take some of these first: the
  // budget only bounds the loop.
  for (size_t budget = m_router.QueuedEvents(); budget > 0; --budget) {
    DeliveredEvent event;
    if (!m_router.TakeNext(event)) return;
    Deliver(event);
  }
}

// A reader thread, no lock held.
void CComponentMethods::OnLost(Connection& connection, int /*error*/) {
  const bool interactive = &connection == &m_interactive;
  // A connection the owner no longer reads (reset, shutdown) is not reported.
  if (!connection.TakeReading()) return;
  m_bDropQueued[Index(interactive)].store(1);
  QueueConnectionEvent(interactive ? EventKind::DisConnect : EventKind::BCDisConnect, kEventFalse);
  Worker(interactive).Trigger();
}

void CComponentMethods::RunReconnection(bool interactive, Reconnector& worker) {
  const int index = Index(interactive);
  Connection& connection = Pick(interactive);
  const std::string_view who = interactive ? kEventInteractive : kEventBroadcast;
  // Asked by a reader whose socket the owner has replaced or closed since:
  // nothing left to do.
  if (!connection.Lost()) return;

  int32_t pause = 0;
  {
    const int64_t now = NowMs();
    std::lock_guard<std::mutex> lock(m_reconnectMutex);
    if (!m_random) {
      m_random = [engine = std::minstd_rand(std::random_device{}())]() mutable {
        return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
      };
    }
    pause = m_backoff[index].AfterDrop(now - m_connectedAtMs[index], m_random());
    auto& pauses = m_pauses[index];
    if (pauses.size() >= kPausesKept) pauses.erase(pauses.begin());
    pauses.push_back(pause);
  }
  // The reader has ended; this joins it and closes the dead socket.
  connection.Close();
  connection.SetReading(false);
  connection.SetConnectPending(true);

  int64_t failures = 0;
  for (;;) {
    if (failures > m_nSocketReconnCount.load()) {
      QueueConnectionEvent(EventKind::MaximumReConnection, who);
      break;
    }
    // Cancelled: the owner's own sequence takes over from here.
    if (!worker.Wait(pause)) return;
    if (ConnectSocket(interactive, &worker) == 0) {
      connection.SetConnectPending(false);
      NoteConnected(interactive);
      QueueConnectionEvent(EventKind::Connect, kEventTrue);
      connection.SetReading(true);
      StartReader(interactive, 100);
      break;
    }
    // An attempt given up because the owner took over reports nothing.
    if (worker.Cancelled()) return;
    QueueConnectionEvent(EventKind::ConnectionFailure, who);
    ++failures;
    pause = std::max<int32_t>(0, m_nSocketReconnTime.load());
  }
  m_bDropQueued[index].store(0);
}

}  // namespace corvane
