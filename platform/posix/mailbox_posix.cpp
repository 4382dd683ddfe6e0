// POSIX owner-thread mailbox: a locked queue of notification codes and an
// eventfd that is readable while the queue is not empty or the handler has
// work left. Reader threads Post; the owner thread's event loop waits on the
// descriptor and calls Pump, which handles the notifications in the order
// they were posted and returns after a handler call that leaves work: the
// descriptor then stays readable, so the loop comes back after its other
// sources have had their turn.
//
// The state lives apart from the Mailbox object and a running Pump holds it:
// a handler may destroy the mailbox (the component released inside a
// callback), and the handler, its queue and the descriptor stay valid until
// that Pump has returned.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>

#include "platform/mailbox.h"

namespace corvane {
namespace {

struct MailboxState {
  MailboxState(Mailbox::Handler h, int descriptor) : handler(std::move(h)), fd(descriptor) {}
  ~MailboxState() { close(fd); }
  MailboxState(const MailboxState&) = delete;
  MailboxState& operator=(const MailboxState&) = delete;

  // With mutex held.
  void Signal() {
    if (signalled) return;
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    signalled = true;
  }
  void Drain() {
    if (!signalled) return;
    uint64_t value = 0;
    while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
    signalled = false;
  }

  const Mailbox::Handler handler;
  const int fd;
  std::mutex mutex;  // guards everything below
  std::deque<unsigned> queue;
  bool resume = false;     // the handler has work left
  bool signalled = false;  // the descriptor's counter is not 0
  bool closed = false;     // the Mailbox object is gone
};

class PosixMailbox final : public Mailbox {
 public:
  PosixMailbox(Handler handler, int fd)
      : m_state(std::make_shared<MailboxState>(std::move(handler), fd)) {}
  ~PosixMailbox() override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->closed = true;
    m_state->queue.clear();
  }

  bool Post(unsigned message) override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->closed) return false;
    m_state->queue.push_back(message);
    m_state->Signal();
    return true;
  }

  int Pump() override {
    // Held until the end: the handler may destroy this object.
    const std::shared_ptr<MailboxState> state = m_state;
    std::deque<unsigned> batch;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->resume) batch.push_back(kResume);
      for (unsigned message : state->queue) batch.push_back(message);
      state->queue.clear();
      state->resume = false;
      state->Drain();
    }
    int calls = 0;
    while (!batch.empty()) {
      const unsigned message = batch.front();
      batch.pop_front();
      {
        // A Pump made from inside the handler (a callback that pumps) goes
        // on with the work this call leaves.
        std::lock_guard<std::mutex> lock(state->mutex);
        state->resume = true;
      }
      bool more = true;
      try {
        more = state->handler(message);
      } catch (...) {
        more = false;
      }
      ++calls;
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->closed) return calls;
      state->resume = more;
      if (more) {
        // One slice per Pump: what was not handled goes back in front.
        state->queue.insert(state->queue.begin(), batch.begin(), batch.end());
        state->Signal();
        return calls;
      }
    }
    return calls;
  }

  intptr_t WaitHandle() const override { return m_state->fd; }

 private:
  std::shared_ptr<MailboxState> m_state;
};

}  // namespace

std::unique_ptr<Mailbox> CreateMailbox(Mailbox::Handler handler, int32_t* errorCode) {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    if (errorCode != nullptr) *errorCode = errno;
    return nullptr;
  }
  if (errorCode != nullptr) *errorCode = 0;
  try {
    return std::make_unique<PosixMailbox>(std::move(handler), fd);
  } catch (...) {
    close(fd);
    if (errorCode != nullptr) *errorCode = ENOMEM;
    return nullptr;
  }
}

}  // namespace corvane
