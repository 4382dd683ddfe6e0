// The owner-thread mailbox: reader threads post payload-free notifications; the
// thread that created the mailbox handles them.
//
// The handler delivers a bounded slice of work and returns true when it
// stopped with work left. The mailbox then calls it again later, after the
// thread has had its turn at whatever else it waits for: the handler never
// has to post to itself, and a flood never monopolises the thread.
//
// Windows: a hidden pop-up window made on the creating thread; Post is
// PostMessageA and the window procedure calls the handler when the thread
// dispatches its messages. The rest of a slice continues from a message that
// ranks below input, paint and the host's timers (see mailbox_win32.cpp).
// POSIX: a locked queue and an eventfd that a host's event loop can wait on;
// the descriptor stays readable while work is left, and Pump returns after one
// slice of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace corvane {

class Mailbox {
 public:
  // message: the notification posted, or kResume when the handler is called
  // again for the work it left. Returns true when work is left.
  using Handler = std::function<bool(unsigned message)>;
  static constexpr unsigned kResume = 0;
  virtual ~Mailbox() = default;

  // Any thread. False when the notification is lost (mailbox gone).
  virtual bool Post(unsigned message) = 0;
  // Owner thread: handles the notifications posted so far, and the work left
  // by earlier ones, and returns how many handler calls it made. It returns
  // early once a handler call reports work left: that work waits for the
  // next Pump (or the host's own loop), so one Pump is at most one slice.
  // A handler may destroy the mailbox it runs in (the component going away
  // inside a callback); nothing of it is touched afterwards.
  virtual int Pump() = 0;
  // What a host's event loop waits on: a file descriptor on POSIX (readable
  // while notifications or work wait), the window handle on Windows.
  virtual intptr_t WaitHandle() const = 0;
};

// Made on the calling thread, which becomes the owner thread. Returns nullptr
// and sets *errorCode (the system's last error) when it cannot be made.
std::unique_ptr<Mailbox> CreateMailbox(Mailbox::Handler handler, int32_t* errorCode);

}  // namespace corvane
