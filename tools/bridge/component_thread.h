// Windows: the thread a session's component lives on.
//
// The component's hidden window belongs to the thread that made it, and its
// events are delivered while that thread dispatches its window messages. A
// thread blocked in Asio's completion port dispatches nothing, so on Windows
// every session has two threads: its Asio thread (the WebSocket) and this
// one, which makes the component, runs the page's calls in the order given
// and otherwise runs a message loop. What the component produces (events and
// replies) is handed back to the Asio thread by the caller's functions.
//
// Back-pressure: the session counts the bytes of every frame made for the
// page until it is written (queuedBytes). While the count is at or above the
// bound this thread dispatches no window message, so the component's queue
// fills, its readers stop and TCP holds the servers back; the session calls
// Wake once the count may have fallen. Memory is bounded by the bound plus
// one slice of events. Calls still run while the feed is held (the session
// itself reads no call while it is backlogged).
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

  // events and log go to the MemberCaller (events are called on this thread);
  // queuedBytes is the session's count, read here against the bound
  // (config.writeQueueBytes).
  ComponentThread(const BridgeConfig& config, MemberCaller::EventSink events, MemberCaller::Log log,
                  const std::atomic<size_t>& queuedBytes);
  ~ComponentThread();
  ComponentThread(const ComponentThread&) = delete;
  ComponentThread& operator=(const ComponentThread&) = delete;

  // Starts the thread; ready(made) is called on it once the component has
  // been made (or could not be: the thread then ends).
  bool Start(std::function<void(bool made)> ready);
  // Any thread: work runs on the component's thread, after the work given
  // before it.
  void Run(Work work);
  // Any thread: the byte count may have fallen below the bound.
  void Wake();
  // Any thread: no more window messages are dispatched (the page is gone);
  // work still runs.
  void Hold();
  // Ends the thread (after the call it may be in) and releases the
  // component on it. Not from the component's thread.
  void Stop();

 private:
  void Main(std::function<void(bool)> ready);
  bool Held() const;
  // Waits until work, Wake or (unless held) a window message.
  void Wait(bool held);

  const BridgeConfig& m_config;
  MemberCaller::EventSink m_eventSink;
  MemberCaller::Log m_log;
  const std::atomic<size_t>& m_queuedBytes;

  void* m_wake = nullptr;  // auto-reset event: work queued, Wake, Stop
  std::mutex m_mutex;
  std::deque<Work> m_work;
  bool m_stop = false;
  std::atomic<bool> m_waitingHeld{false};
  std::atomic<bool> m_hold{false};
  std::thread m_thread;

  // Made, used and released on m_thread only.
  std::unique_ptr<CComponentMethods> m_component;
  std::optional<MemberCaller> m_caller;
};

}  // namespace corvane::bridge
