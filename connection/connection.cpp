// Connection: opening, sending, the reader thread and closing (see
// connection.h for the rules the reader keeps).
#include "connection/connection.h"

#include <chrono>
#include <cstring>

namespace corvane {
namespace {

constexpr int kReaderPollMs = 100;
// How long a reader waits before asking again whether the owner's backlog has
// gone down.
constexpr int kBackloggedPauseMs = 1;
// How long one send may wait for a socket that would block.
constexpr int kSendStallMs = 2000;

}  // namespace

Connection::Connection()
    : m_recvBuf(std::make_unique<std::array<unsigned char, kRecvBufferSize>>()) {
  m_recvBuf->fill(0);
}

Connection::~Connection() {
  try {
    StopReader();
  } catch (...) {
  }
  net::Close(m_socket.exchange(0));
}

void Connection::SetKeepAliveTiming(const net::KeepAliveTiming& timing) {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  m_keepAlive = timing;
}

bool Connection::ReaderRunning() const {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  return m_reader.joinable();
}

int32_t Connection::Open(const std::string& dottedAddress, int32_t port,
                         const std::function<bool()>& abandon) {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  // The new socket replaces the previous one; that one's reader ends before
  // the socket is closed.
  StopReaderLocked();
  CloseSocket();
  m_bLost.store(0);
  const SocketHandle s = net::CreateTcpSocket();
  if (s == 0) return kResultFailed;
  m_socket.store(s);
  m_nOpenings.fetch_add(1);
  net::SetReceiveBufferSize(s, kRecvBufferSize);
  // Set before the connect, so the connected socket has it from the start.
  net::SetKeepAlive(s, m_keepAlive);
  if (!net::ConnectAbandonable(s, dottedAddress, port, abandon)) return kResultFailed;
  net::SetNonBlocking(s, true);
  return 0;
}

void Connection::CloseSocket() {
  // Not while the owner sends or reads on the descriptor: a closed one may
  // be handed out again at once, and the bytes would go to whoever got it.
  std::lock_guard<std::mutex> sending(m_sendMutex);
  std::lock_guard<std::mutex> reading(m_mutex);
  net::Close(m_socket.exchange(0));
}

int32_t Connection::SendWhole(const char* data, int32_t length) {
  std::lock_guard<std::mutex> sending(m_sendMutex);
  const SocketHandle s = m_socket.load();
  int32_t sent = 0;
  for (;;) {
    const int n = net::Send(s, data + sent, length - sent);
    if (n > 0) {
      sent += n;
      if (sent >= length) return 0;
      continue;
    }
    if (n == 0) {
      if (sent >= length) return 0;  // nothing left to send
    } else if (net::LastError() != net::kWouldBlock) {
      return kResultSendFailed;
    }
    if (net::WaitWritable(s, kSendStallMs) != net::WaitResult::Ready) return kResultSendFailed;
  }
}

bool Connection::StartReader(ConnectionSink& sink, int32_t pollMs) {
  try {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    // One reader per connection: the previous one ends before the next starts.
    StopReaderLocked();
    m_bStop.store(false);
    const int period = pollMs > 0 ? pollMs : kReaderPollMs;
    m_reader = std::thread([this, &sink, period] {
      try {
        ReceiveLoop(sink, period);
      } catch (...) {
      }
    });
    return true;
  } catch (...) {
    return false;
  }
}

void Connection::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bStop.store(true);
  }
  m_stopWake.notify_all();
}

void Connection::StopReader() {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  StopReaderLocked();
}

void Connection::StopReaderLocked() {
  if (!m_reader.joinable()) return;
  RequestStop();
  if (m_reader.get_id() == std::this_thread::get_id()) {
    m_reader.detach();  // never reached: sinks may not stop their own reader
    return;
  }
  m_reader.join();
}

void Connection::Close() {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  // The reader owns the descriptor while it runs: end it first, so a closed
  // (and perhaps reused) descriptor is never read.
  StopReaderLocked();
  CloseSocket();
  m_bLost.store(0);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_recvBuf->fill(0);
}

int Connection::ReceiveOnce(std::string& text, int& error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto& buffer = *m_recvBuf;
  buffer.fill(0);
  const int n = net::Recv(m_socket.load(), buffer.data(), kRecvBufferSize);
  error = n < 0 ? net::LastError() : 0;
  text.clear();
  if (n > 0) {
    // The text ends at the first zero byte.
    const char* bytes = reinterpret_cast<const char*>(buffer.data());
    const void* zero = std::memchr(bytes, 0, static_cast<size_t>(n));
    const size_t length =
        zero ? static_cast<size_t>(static_cast<const char*>(zero) - bytes) : static_cast<size_t>(n);
    text.assign(bytes, length);
  }
  return n;
}

void Connection::Pause(int milliseconds) {
  std::unique_lock<std::mutex> lock(m_stopMutex);
  m_stopWake.wait_for(lock, std::chrono::milliseconds(milliseconds),
                      [this] { return m_bStop.load(); });
}

int32_t Connection::ReceiveLoop(ConnectionSink& sink, int pollMs) {
  int32_t result = 0;
  try {
    while (!m_bStop.load() && sink.KeepReading(*this)) {
      if (sink.Backlogged(*this)) {
        Pause(kBackloggedPauseMs);
        continue;
      }
      // Taken again on every pass, never kept from an earlier one: 0 (none)
      // fails the wait and the pass pauses like an idle one.
      const SocketHandle s = m_socket.load();
      const net::WaitResult ready = net::WaitReadable(s, pollMs);
      if (ready == net::WaitResult::TimedOut) continue;  // idle: nothing has arrived
      if (ready == net::WaitResult::Failed) {
        Pause(pollMs);
        continue;
      }
      int n = -1;
      int error = 0;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& buffer = *m_recvBuf;
        buffer.fill(0);
        n = net::Recv(s, buffer.data(), kRecvBufferSize);
        error = n < 0 ? net::LastError() : 0;
        if (n > 0) {
          result = sink.OnChunk(*this, n, buffer.data());
          continue;
        }
      }
      if (n < 0 && error == net::kWouldBlock) continue;
      // The peer has closed (n == 0) or the socket failed: the connection is
      // lost. A reader being stopped was closed on purpose and says nothing.
      result = kResultSendFailed;
      if (m_bStop.load()) break;
      m_bLost.store(1);
      sink.OnLost(*this, error);
      break;
    }
  } catch (...) {
    try {
      sink.OnLoopFailed(*this);
    } catch (...) {
    }
    return kResultFailed;
  }
  return result;
}

}  // namespace corvane
