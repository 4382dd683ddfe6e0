// The component's thread on Windows: a message loop, so that the component's
// hidden window delivers its events (see component_thread.h).
#include <windows.h>

#include "tools/bridge/component_thread.h"

namespace corvane::bridge {

bool ComponentThread::OpenSignal() {
  m_signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return m_signal != nullptr;
}

void ComponentThread::CloseSignal() {
  if (m_signal) CloseHandle(m_signal);
  m_signal = nullptr;
}

void ComponentThread::Signal() { SetEvent(m_signal); }

void ComponentThread::Wait(bool held) {
  if (held) {
    // Only messages sent by other threads (SendMessage: a broadcast to
    // top-level windows, say) are handled while held; the posted ones,
    // the component's notifications among them, wait.
    MsgWaitForMultipleObjectsEx(1, &m_signal, INFINITE, QS_SENDMESSAGE, 0);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    return;
  }
  MsgWaitForMultipleObjectsEx(1, &m_signal, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

bool ComponentThread::DispatchOne() {
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

}  // namespace corvane::bridge
