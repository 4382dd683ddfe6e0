// The owner-thread mailbox: reader threads post payload-free notifications; the
// thread that created the mailbox handles them.
//
// Windows: a hidden pop-up window made on the creating thread; Post is
// PostMessageA and the window procedure calls the handler when the thread
// dispatches its messages. POSIX: a locked queue and an eventfd that a host's
// event loop can wait on; Pump handles what is queued.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace corvane {

class Mailbox {
 public:
  using Handler = std::function<void(unsigned message)>;
  virtual ~Mailbox() = default;

  // Any thread. False when the notification is lost (mailbox gone).
  virtual bool Post(unsigned message) = 0;
  // Owner thread: handles every notification posted so far; returns how many.
  // A handler must not destroy the mailbox it runs in.
  virtual int Pump() = 0;
  // What a host's event loop waits on: a file descriptor on POSIX (readable
  // while notifications wait), the window handle on Windows.
  virtual intptr_t WaitHandle() const = 0;
};

// Made on the calling thread, which becomes the owner thread. Returns nullptr
// and sets *errorCode (the system's last error) when it cannot be made.
std::unique_ptr<Mailbox> CreateMailbox(Mailbox::Handler handler, int32_t* errorCode);

}  // namespace corvane
