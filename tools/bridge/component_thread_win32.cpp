// The component's own thread on Windows: see component_thread.h.
#include <windows.h>

#include "tools/bridge/component_thread.h"

namespace corvane::bridge {

ComponentThread::ComponentThread(const BridgeConfig& config, MemberCaller::EventSink events,
                                 MemberCaller::Log log, const std::atomic<size_t>& queuedBytes)
    : m_config(config),
      m_eventSink(std::move(events)),
      m_log(std::move(log)),
      m_queuedBytes(queuedBytes) {}

ComponentThread::~ComponentThread() {
  Stop();
  if (m_wake) CloseHandle(m_wake);
}

bool ComponentThread::Start(std::function<void(bool made)> ready) {
  m_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!m_wake) return false;
  m_thread = std::thread([this, ready = std::move(ready)] { Main(ready); });
  return true;
}

void ComponentThread::Run(Work work) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_work.push_back(std::move(work));
  }
  SetEvent(m_wake);
}

void ComponentThread::Wake() {
  // Only a thread waiting while held needs the event; the store of
  // m_waitingHeld comes before its last look at the count (both sequentially
  // consistent), so a fall in the count is never missed.
  if (m_waitingHeld.load()) SetEvent(m_wake);
}

void ComponentThread::Hold() {
  m_hold = true;
  SetEvent(m_wake);
}

void ComponentThread::Stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  SetEvent(m_wake);
  m_thread.join();
}

bool ComponentThread::Held() const {
  return m_hold.load() || m_queuedBytes.load() >= m_config.writeQueueBytes;
}

void ComponentThread::Wait(bool held) {
  if (held) {
    // Only messages sent by other threads (SendMessage: a broadcast to
    // top-level windows, say) are handled while held; the posted ones,
    // the component's notifications among them, wait.
    MsgWaitForMultipleObjectsEx(1, &m_wake, INFINITE, QS_SENDMESSAGE, 0);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    return;
  }
  MsgWaitForMultipleObjectsEx(1, &m_wake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void ComponentThread::Main(std::function<void(bool)> ready) {
  m_component = CComponentMethods::Create();
  if (m_component) m_caller.emplace(*m_component, m_config, m_eventSink, m_log);
  ready(m_component != nullptr);
  if (!m_component) return;

  for (;;) {
    std::deque<Work> work;
    bool stop;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      work.swap(m_work);
      stop = m_stop;
    }
    for (Work& w : work) w(*m_caller);
    if (stop) break;
    if (!work.empty()) continue;  // more may have come while it ran

    if (Held()) {
      m_waitingHeld = true;
      if (Held()) Wait(true);
      m_waitingHeld = false;
      continue;
    }
    // One message at a time, so that work and the bound are looked at
    // between slices of events.
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      continue;
    }
    Wait(false);
  }
  m_caller.reset();
  m_component.reset();
}

}  // namespace corvane::bridge
