#include "session/delivery.h"

#include <chrono>

namespace corvane {
namespace {

// A slice: at most this long, and at most this many events; the clock is
// read every kClockStride events, so a burst of a few goes out at once.
constexpr auto kSliceTime = std::chrono::milliseconds(10);
constexpr uint64_t kSliceMaxEvents = 4096;
constexpr uint64_t kClockStride = 8;

}  // namespace

Delivery::~Delivery() {
  m_life->destroyed = true;
  m_mailbox.reset();
}

int32_t Delivery::Open() {
  int32_t error = 0;
  m_mailbox = CreateMailbox(
      [this](unsigned message) {
        if (message == WM_DELIVER_DATA || message == WM_DELIVER_AUTHENTICATION ||
            message == WM_DELIVER_CONNECTION || message == Mailbox::kResume)
          return Slice();
        return false;
      },
      &error);
  return m_mailbox ? 0 : error;
}

bool Delivery::Notify(unsigned message) { return m_mailbox && m_mailbox->Post(message); }

void Delivery::Fire(const Event& event) {
  try {
    m_sink.OnEvent(event);
  } catch (...) {
  }
}

void Delivery::CatchUp(bool mark) {
  if (!mark) return;
  // Everything queued now, in order (the messages read before a drop come
  // before its "false"); what is queued meanwhile waits for the ordinary
  // delivery. The ordinary delivery may take some of these first: the
  // budget only bounds the loop.
  for (size_t budget = m_router.QueuedEvents(); budget > 0; --budget) {
    Event event;
    if (!m_router.TakeNext(event)) return;
    Fire(event);
  }
}

bool Delivery::Slice() {
  // Held across the callbacks: one of them may destroy the session.
  const std::shared_ptr<Life> life = m_life;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t n = 1;; ++n) {
    Event event;
    if (!m_router.TakeNext(event)) return false;
    ++life->delivered;
    Fire(event);
    if (life->destroyed) return false;
    if (n >= kSliceMaxEvents) return true;
    if (n % kClockStride == 0 && std::chrono::steady_clock::now() - start >= kSliceTime) {
      return true;
    }
  }
}

int Delivery::Pump() {
  if (!m_mailbox) return 0;
  const std::shared_ptr<Life> life = m_life;
  const uint64_t before = life->delivered;
  m_mailbox->Pump();
  return static_cast<int>(life->delivered - before);
}

intptr_t Delivery::WaitHandle() const { return m_mailbox ? m_mailbox->WaitHandle() : -1; }

}  // namespace corvane
