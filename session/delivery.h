// The owner thread's side of a session's events: the mailbox that wakes the
// owner thread, and delivery in slices.
//
// One mailbox notification stands for every event queued since the owner
// thread last found the queue empty. Its handler delivers events for a slice
// of about 10 ms (the clock is read every few events) and reports whether any
// are left; the mailbox then resumes after the thread's other work, so a feed
// faster than script can take never starves the host. The sequences the
// script runs fire their own events at once (Fire); before they fire any, they
// deliver what readers and workers queued until then (CatchUp), so the script
// sees what happened in the order it happened.
//
// EventSink::OnEvent runs on the owner thread only, one event at a time. It
// may pump again (a nested slice goes on with the queue) or destroy the
// session that delivers (the slice notices and touches nothing of it
// afterwards).
#pragma once

#include <cstdint>
#include <memory>

#include "delivery/router.h"
#include "platform/mailbox.h"

namespace corvane {

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(const Event& event) = 0;
};

class Delivery {
 public:
  Delivery(CMessageRouter& router, EventSink& sink) : m_router(router), m_sink(sink) {}
  // A slice running below (a callback is destroying the session) stops.
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Makes the mailbox on the calling thread, which becomes the owner thread:
  // 0, or the system's error code when it cannot be made (which may be 0 as
  // well: IsOpen tells).
  int32_t Open();
  bool IsOpen() const { return m_mailbox != nullptr; }

  // Any thread (the router's notifier): false when the notification is lost.
  bool Notify(unsigned message);

  // Owner thread: one event now.
  void Fire(const Event& event);
  // Owner thread: every event queued now, when a connection event is among
  // them (mark).
  void CatchUp(bool mark);
  // Owner thread: one slice; true when events are left.
  bool Slice();
  // Native hosts: one slice of queued events now; how many were delivered.
  int Pump();
  intptr_t WaitHandle() const;

 private:
  // Owner thread only; shared with the slices running, so that they notice
  // a callback that destroyed the session.
  struct Life {
    bool destroyed = false;
    uint64_t delivered = 0;
  };

  CMessageRouter& m_router;
  EventSink& m_sink;
  std::shared_ptr<Life> m_life = std::make_shared<Life>();
  std::unique_ptr<Mailbox> m_mailbox;
};

}  // namespace corvane
