// Reader threads, keep-alive and shutdown.
//
// Each connection runs at most one reader (connection/connection.h has its
// loop and its rules). The component is both readers' sink: a reader goes on
// while either connection's reading flag is set, so clearing both (the reset,
// shutdown) ends both after their current pass, and it leaves its socket alone
// while the owner thread has too much still to deliver. Whoever replaces or
// closes a connection's socket first stops and joins its reader; a reader
// started again afterwards reads the new socket.
//
// A reader that finds its connection closed or failed reports it and ends
// (reconnect.cpp). The sockets carry TCP keep-alive (connect.cpp), so a peer
// that vanished without FIN or RST also ends in a socket error.
//
// The keep-alive worker only waits, waking every m_nKeepAliveInterval ms
// (once, then until stopped, for 0); nothing is sent on its ticks. Its stop
// flag is set under m_workerMutex and announced on m_workerWake, so a waiting
// worker ends at once.
#include <chrono>

#include "component/component_methods.h"

namespace corvane {
namespace {

// Back-pressure: while the owner thread has this much still to deliver, a
// reader leaves its socket alone (asking again every millisecond), so the
// receive window closes and the server slows down; memory stays bounded
// however far the host falls behind.
constexpr size_t kMaxQueuedEvents = 8192;
constexpr size_t kMaxQueuedBytes = size_t{8} << 20;

}  // namespace

void CComponentMethods::StopKeepAlive() {
  if (!m_hKeepAliveThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_workerMutex);
    m_bKeepAliveStop.store(true);
  }
  m_workerWake.notify_all();
  m_hKeepAliveThread.join();
}

HResult CComponentMethods::StartReader(bool interactive, int32_t period) {
  try {
    m_nReaderTimerPeriod.store(period);
    // A drop this reader finds is reconnected by the connection's worker.
    Worker(interactive).Start();
    // One reader per connection: the connection ends the previous one first.
    return Pick(interactive).StartReader(*this) ? kS_OK : kE_FAIL;
  } catch (...) {
    return kE_FAIL;
  }
}

HResult CComponentMethods::StartInteractiveReader(int32_t period) {
  return StartReader(true, period);
}

HResult CComponentMethods::StartBcastReader(int32_t period) { return StartReader(false, period); }

// Either reader thread, no lock held: the loop of either connection runs
// while either reading flag is set.
bool CComponentMethods::KeepReading(const Connection& /*connection*/) {
  return m_interactive.Reading() || m_bcast.Reading();
}

// Either reader thread, no lock held; reads the router's counters only.
bool CComponentMethods::Backlogged(const Connection& /*connection*/) {
  return m_router.QueuedEvents() >= kMaxQueuedEvents || m_router.QueuedBytes() >= kMaxQueuedBytes;
}

HResult CComponentMethods::startKeepAlive(const Variant& /*sRequest*/, Variant* /*pRetVal*/) {
  try {
    // No interactive connection has been made yet.
    if (!m_interactive.Reading()) return kS_OK;
    const int32_t period = m_nKeepAliveInterval.load();
    // A periodic timer cannot have a negative period.
    if (period < 0) return kE_FAIL;
    // One worker at a time: a second start replaces the first.
    StopKeepAlive();
    m_nKeepAlivePeriod = period;
    m_bKeepAliveStop.store(false);
    m_hKeepAliveThread = std::thread([this] { KeepAliveProc(); });
    return kS_OK;
  } catch (...) {
    return kE_FAIL;
  }
}

int32_t CComponentMethods::KeepAliveProc() {
  try {
    const int32_t period = m_nKeepAlivePeriod;
    std::unique_lock<std::mutex> lock(m_workerMutex);
    while (!m_bKeepAliveStop.load()) {
      if (period > 0) {
        m_workerWake.wait_for(lock, std::chrono::milliseconds(period),
                              [this] { return m_bKeepAliveStop.load(); });
      } else {
        m_workerWake.wait(lock, [this] { return m_bKeepAliveStop.load(); });
      }
      // A tick: nothing is sent.
    }
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

void CComponentMethods::StopThreads() {
  try {
    StopKeepAlive();
    // Workers first: a worker in a pause wakes at once; none can start a
    // reader or open a socket after this.
    m_interactiveWorker.Stop();
    m_bcastWorker.Stop();
    // Sockets are only closed once no reader can be using them.
    m_interactive.StopReader();
    m_bcast.StopReader();
    m_interactive.Close();
    m_bcast.Close();
    // Balance this object's start-ups so other users of the socket layer in
    // the process keep theirs.
    for (; m_nSocketStartups > 0; --m_nSocketStartups) net::Cleanup();
  } catch (...) {
  }
}

void CComponentMethods::Shutdown() {
  m_interactive.SetReading(false);
  m_bcast.SetReading(false);
  // Ends a worker's pause at once (StopThreads joins them).
  m_interactiveWorker.Cancel();
  m_bcastWorker.Cancel();
  // Ask both readers and the worker to stop before joining any, so they
  // wind down together.
  if (m_interactive.ReaderRunning()) m_interactive.RequestStop();
  if (m_bcast.ReaderRunning()) m_bcast.RequestStop();
  {
    std::lock_guard<std::mutex> lock(m_workerMutex);
    if (m_hKeepAliveThread.joinable()) m_bKeepAliveStop.store(true);
  }
  m_workerWake.notify_all();
  StopThreads();
}

}  // namespace corvane
