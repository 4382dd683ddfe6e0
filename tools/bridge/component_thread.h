// The thread a page's component lives on, apart from its session's WebSocket.
//
// A page's call may block for as long as the component's own connection
// sequence runs (SetServerDetails against a server that refuses, with the
// reconnection count the page chose), so calls never run on the session's
// thread: that thread keeps reading the page (a close is seen at once),
// writing what the component produced, and stopping when the bridge stops.
// This thread makes the component (it becomes the component's owner thread),
// runs the page's calls in the order given and otherwise delivers the
// component's events: on Windows by dispatching the window messages of the
// component's hidden window, natively by pumping its event handle. What the
// component produces (events and replies) is handed to the session by the
// caller's functions.
//
// Back-pressure: the session counts the bytes of every frame made for the
// page until it is written (queuedBytes). While the count is at or above the
// bound (config.writeQueueBytes) nothing more is made for the page: this
// thread delivers no events, so the component's queue fills, its readers stop
// and TCP holds the servers back; and an event fired inside a call (the
// connection events of a sequence) waits before it is handed over, so a call
// that fires without end is held back too. The session calls Wake once the
// count may have fallen. While the page's feed is conflated the bound is at
// most kConflatedWriteQueueBytes: what waits beyond that waits in the
// component's queue, where it is conflated, not in the page's, where it is
// not. Memory is bounded by the bound plus one event and
// the replies of the calls waiting.
//
// When the page has gone (Hold, or Stop) the component's sequences are
// abandoned (SessionCore::Abandon): a call inside one returns at once, calls
// still waiting are not made, events are dropped, and Stop joins the thread
// without waiting for a server.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "component/component_methods.h"
#include "tools/bridge/config.h"
#include "tools/bridge/members.h"

namespace corvane::bridge {

class ComponentThread {
 public:
  using Work = std::function<void(MemberCaller&)>;
  static constexpr size_t kConflatedWriteQueueBytes = 64 * 1024;

  // events and log go to the MemberCaller (events are called on this thread);
  // queuedBytes is the session's count, read here against the bound.
  ComponentThread(const BridgeConfig& config, MemberCaller::EventSink events, MemberCaller::Log log,
                  const std::atomic<size_t>& queuedBytes);
  ~ComponentThread();
  ComponentThread(const ComponentThread&) = delete;
  ComponentThread& operator=(const ComponentThread&) = delete;

  // Starts the thread; ready(made) is called on it once the component has
  // been made (or could not be: the thread then ends).
  bool Start(std::function<void(bool made)> ready);
  // Any thread: work runs on the component's thread, after the work given
  // before it (and not at all once held).
  void Run(Work work);
  // Any thread: the byte count may have fallen below the bound.
  void Wake();
  // Any thread: the page is gone (see the file comment).
  void Hold();
  // Holds, ends the thread and releases the component on it. Not from the
  // component's thread.
  void Stop();

 private:
  void Main(std::function<void(bool)> ready);
  bool Held() const;
  // The bound on the page's count (see the file comment); this thread only.
  size_t Bound() const;
  bool Stopping();
  // The MemberCaller's event sink: waits while the bound is reached.
  void Deliver(std::string_view name, const std::string& text, std::string_view key);

  // Platform parts (component_thread_win32.cpp, component_thread_posix.cpp).
  bool OpenSignal();
  void CloseSignal();
  // Ends a Wait now or the next one at once.
  void Signal();
  // Waits for a Signal and, unless held, for the component's notifications.
  void Wait(bool held);
  // Delivers what one pending notification stands for; false when none is
  // pending.
  bool DispatchOne();

  const BridgeConfig& m_config;
  MemberCaller::EventSink m_eventSink;
  MemberCaller::Log m_log;
  const std::atomic<size_t>& m_queuedBytes;

#if defined(_WIN32)
  void* m_signal = nullptr;  // auto-reset event
#else
  int m_signal = -1;  // eventfd, non-blocking
#endif
  std::mutex m_mutex;  // guards the four below
  std::deque<Work> m_work;
  bool m_stop = false;
  // The session of m_component while it exists (Hold abandons it).
  SessionCore* m_core = nullptr;
  std::atomic<bool> m_hold{false};  // written with m_mutex held
  std::atomic<bool> m_waitingHeld{false};
  std::thread m_thread;

  // Made, used and released on m_thread only.
  std::unique_ptr<CComponentMethods> m_component;
  std::optional<MemberCaller> m_caller;
};

}  // namespace corvane::bridge
