// Reader threads, the receive loop, keep-alive and shutdown.
//
// Each connection has at most one reader thread. A reader loops while either
// reading flag is set and its own stop flag is clear: it takes its
// connection's current socket, waits until it is readable or 100 ms have
// passed, reads up to 32 768 bytes into the connection's zero-filled buffer
// and hands a chunk to the decoding dispatch at once, so data is read as soon
// as it arrives and an idle connection is still polled every 100 ms. After an
// error or the end of the stream the loop keeps its 100 ms cadence (it reports
// nothing: a broken connection is found by the next failed send). Whoever
// replaces or closes a connection's socket first stops and joins its reader,
// so the socket a pass took stays open until the pass ends; a reader started
// again afterwards reads the new socket.
//
// The keep-alive worker only waits, waking every m_nKeepAliveInterval ms
// (once, then until stopped, for 0); nothing is sent on its ticks. Stop flags
// are set under m_workerMutex and announced on m_workerWake, so a waiting
// worker or a pausing reader ends at once; a reader inside its readiness wait
// ends within 100 ms.
#include <chrono>

#include "component/component_methods.h"

namespace corvane {
namespace {

constexpr int kReaderPollMs = 100;
// Back-pressure: while the owner thread has this much still to deliver, a
// reader leaves its socket alone (checking again every kQueueFullPauseMs), so
// the receive window closes and the server slows down; memory stays bounded
// however far the host falls behind.
constexpr size_t kMaxQueuedEvents = 8192;
constexpr size_t kMaxQueuedBytes = size_t{8} << 20;
constexpr int kQueueFullPauseMs = 1;

}  // namespace

void CComponentMethods::StopReader(bool interactive) {
  std::thread& thread = interactive ? m_hInteractiveThread : m_hBcastThread;
  if (!thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_workerMutex);
    (interactive ? m_bInteractiveReaderStop : m_bBcastReaderStop).store(true);
  }
  m_workerWake.notify_all();
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // never reached: readers fire no callbacks
    return;
  }
  thread.join();
}

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
    // One reader per connection: the previous one ends before the next starts.
    StopReader(interactive);
    (interactive ? m_bInteractiveReaderStop : m_bBcastReaderStop).store(false);
    std::thread& thread = interactive ? m_hInteractiveThread : m_hBcastThread;
    if (interactive) {
      thread = std::thread([this] { InteractiveReaderProc(); });
    } else {
      thread = std::thread([this] { BcastReaderProc(); });
    }
    return kS_OK;
  } catch (...) {
    return kE_FAIL;
  }
}

HResult CComponentMethods::StartInteractiveReader(int32_t period) {
  return StartReader(true, period);
}

HResult CComponentMethods::StartBcastReader(int32_t period) { return StartReader(false, period); }

int32_t CComponentMethods::InteractiveReaderProc() {
  try {
    ReceiveLoop(true);
    return 0;
  } catch (...) {
    return -1;
  }
}

int32_t CComponentMethods::BcastReaderProc() {
  try {
    ReceiveLoop(false);
    return 0;
  } catch (...) {
    return -1;
  }
}

void CComponentMethods::ReaderPause(bool interactive, int milliseconds) {
  const std::atomic<bool>& stop = interactive ? m_bInteractiveReaderStop : m_bBcastReaderStop;
  std::unique_lock<std::mutex> lock(m_workerMutex);
  m_workerWake.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return stop.load(); });
}

int32_t CComponentMethods::ReceiveLoop(bool interactive) {
  const std::atomic<SocketHandle>& current = interactive ? m_sockInteractive : m_sockBcast;
  const std::atomic<bool>& stop = interactive ? m_bInteractiveReaderStop : m_bBcastReaderStop;
  auto& buffer = interactive ? *m_interactiveRecvBuf : *m_bcastRecvBuf;
  int32_t result = 0;
  try {
    while (!stop.load() && (m_bInteractiveReading.load() != 0 || m_bBcastReading.load() != 0)) {
      if (m_router.QueuedEvents() >= kMaxQueuedEvents ||
          m_router.QueuedBytes() >= kMaxQueuedBytes) {
        ReaderPause(interactive, kQueueFullPauseMs);
        continue;
      }
      // Taken again on every pass, never kept from an earlier one: 0 (none,
      // or closed) fails the wait and the pass pauses like a failed read.
      const SocketHandle s = current.load();
      const net::WaitResult ready = net::WaitReadable(s, kReaderPollMs);
      if (ready == net::WaitResult::TimedOut) continue;  // idle: nothing has arrived
      int n = -1;
      int error = net::kNotSocket;
      if (ready == net::WaitResult::Ready) {
        std::unique_lock<std::mutex> bufferLock(m_interactiveBufferMutex, std::defer_lock);
        if (interactive) bufferLock.lock();
        buffer.fill(0);
        n = net::Recv(s, buffer.data(), kRecvBufferSize);
        error = n < 0 ? net::LastError() : 0;
        if (n > 0) {
          SetDataSeen(interactive);
          result = DispatchReceived(interactive, n, buffer.data());
          continue;
        }
      }
      if (n < 0 && error == net::kWouldBlock) continue;
      // The peer has closed or the socket failed: keep polling at the idle
      // cadence rather than spinning on a socket that is always "readable".
      result = -3;
      ReaderPause(interactive, kReaderPollMs);
    }
  } catch (...) {
    (interactive ? m_bInteractiveReading : m_bBcastReading).store(0);
    return -1;
  }
  return result;
}

HResult CComponentMethods::startKeepAlive(const Variant& /*sRequest*/, Variant* /*pRetVal*/) {
  try {
    // No interactive connection has been made yet.
    if (m_bInteractiveReading.load() == 0) return kS_OK;
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
    return -1;
  }
}

void CComponentMethods::StopThreads() {
  try {
    StopKeepAlive();
    // Sockets are only closed once no reader can be using them.
    StopReader(true);
    StopReader(false);
    net::Close(m_sockInteractive.exchange(0));
    net::Close(m_sockBcast.exchange(0));
    // Balance this object's start-ups so other users of the socket layer in
    // the process keep theirs.
    for (; m_nSocketStartups > 0; --m_nSocketStartups) net::Cleanup();
  } catch (...) {
  }
}

void CComponentMethods::Shutdown() {
  m_bInteractiveReading.store(0);
  m_bBcastReading.store(0);
  // Ask both readers and the worker to stop before joining any, so they
  // wind down together.
  {
    std::lock_guard<std::mutex> lock(m_workerMutex);
    if (m_hInteractiveThread.joinable()) m_bInteractiveReaderStop.store(true);
    if (m_hBcastThread.joinable()) m_bBcastReaderStop.store(true);
    if (m_hKeepAliveThread.joinable()) m_bKeepAliveStop.store(true);
  }
  m_workerWake.notify_all();
  StopThreads();
}

}  // namespace corvane
