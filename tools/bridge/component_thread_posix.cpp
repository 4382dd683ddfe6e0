// The component's thread natively: it waits on its signal and the
// component's event handle, and pumps the handle while it is readable (see
// component_thread.h).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "tools/bridge/component_thread.h"

namespace corvane::bridge {

bool ComponentThread::OpenSignal() {
  m_signal = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return m_signal >= 0;
}

void ComponentThread::CloseSignal() {
  if (m_signal >= 0) ::close(m_signal);
  m_signal = -1;
}

void ComponentThread::Signal() {
  const uint64_t one = 1;
  while (::write(m_signal, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void ComponentThread::Wait(bool held) {
  pollfd fds[2] = {{m_signal, POLLIN, 0}, {-1, POLLIN, 0}};
  // The component's handle only while its events may be delivered.
  if (!held) fds[1].fd = static_cast<int>(m_component->EventWaitHandle());
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  // The signal is a counter: one read takes every Signal given so far.
  uint64_t count = 0;
  while (::read(m_signal, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

bool ComponentThread::DispatchOne() {
  // The handle stays readable while a slice leaves events queued.
  pollfd ready{static_cast<int>(m_component->EventWaitHandle()), POLLIN, 0};
  if (::poll(&ready, 1, 0) <= 0) return false;
  m_component->PumpEvents();
  return true;
}

}  // namespace corvane::bridge
