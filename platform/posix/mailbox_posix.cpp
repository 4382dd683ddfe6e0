// POSIX owner-thread mailbox: a locked queue of notification codes and an
// eventfd that is readable while the queue is not empty. Reader threads Post;
// the owner thread's event loop waits on the descriptor and calls Pump, which
// handles the notifications in the order they were posted.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>

#include "platform/mailbox.h"

namespace corvane {
namespace {

class PosixMailbox final : public Mailbox {
 public:
  PosixMailbox(Handler handler, int fd) : m_handler(std::move(handler)), m_fd(fd) {}
  ~PosixMailbox() override { close(m_fd); }

  bool Post(unsigned message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty()) Signal();
    m_queue.push_back(message);
    return true;
  }

  int Pump() override {
    std::deque<unsigned> batch;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      batch.swap(m_queue);
      Drain();
    }
    for (unsigned message : batch) m_handler(message);
    return static_cast<int>(batch.size());
  }

  intptr_t WaitHandle() const override { return m_fd; }

 private:
  void Signal() {
    const uint64_t one = 1;
    while (write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void Drain() {
    uint64_t value = 0;
    while (read(m_fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
  }

  Handler m_handler;
  int m_fd;
  std::mutex m_mutex;
  std::deque<unsigned> m_queue;
};

}  // namespace

std::unique_ptr<Mailbox> CreateMailbox(Mailbox::Handler handler, int32_t* errorCode) {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    if (errorCode != nullptr) *errorCode = errno;
    return nullptr;
  }
  if (errorCode != nullptr) *errorCode = 0;
  return std::make_unique<PosixMailbox>(std::move(handler), fd);
}

}  // namespace corvane
