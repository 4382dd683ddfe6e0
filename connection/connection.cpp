// Connection: opening, sending, the reader thread and closing (see
// connection.h for the rules the reader keeps).
#include "connection/connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace corvane {
namespace {

constexpr int kReaderPollMs = 100;
// How long a reader waits before asking again whether the owner's backlog has
// gone down.
constexpr int kBackloggedPauseMs = 1;
// How long one send may wait for a socket that would block.
constexpr int kSendStallMs = 2000;
// How often a handshake looks at whether it is given up.
constexpr int kAbandonPollMs = 50;
// The error a reader reports for a TLS record that does not decipher
// (WSAECONNABORTED: the stream cannot go on).
constexpr int kTlsFailed = 10053;

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
  {
    std::lock_guard<std::mutex> tls(m_tlsMutex);
    m_tls.reset();
    m_tlsPending.clear();
  }
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

int32_t Connection::SendBytes(SocketHandle s, std::string_view bytes) {
  size_t sent = 0;
  for (;;) {
    if (sent >= bytes.size()) return 0;
    const int n = net::Send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && net::LastError() != net::kWouldBlock) return kResultSendFailed;
    if (net::WaitWritable(s, kSendStallMs) != net::WaitResult::Ready) return kResultSendFailed;
  }
}

int32_t Connection::SendWhole(const char* data, int32_t length) {
  std::lock_guard<std::mutex> sending(m_sendMutex);
  const std::string_view bytes(data, static_cast<size_t>(std::max(length, 0)));
  std::string records;
  {
    // Records the reader made (a key update's answer) go first: the server
    // must get records in the order they were made.
    std::lock_guard<std::mutex> tls(m_tlsMutex);
    records.swap(m_tlsReplies);
    if (m_tls && !m_tls->Encrypt(bytes, records)) return kResultSendFailed;
  }
  return SendBytes(m_socket.load(), records.empty() && length > 0 ? bytes : records);
}

int32_t Connection::StartTls(const tls::ClientConfig& config, int32_t waitMs,
                             const std::function<bool()>& abandon, tls::Failure* failure,
                             std::string* text) {
  using Clock = std::chrono::steady_clock;
  auto fail = [&](tls::Failure why, std::string what) {
    *failure = why;
    *text = std::move(what);
    return kResultFailed;
  };
  std::unique_ptr<tls::ClientSession> session = tls::StartClient(config);
  if (!session) return fail(tls::Failure::Other, "TLS is not available on this system");
  const SocketHandle s = m_socket.load();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, waitMs));
  std::string out;
  tls::Status status = session->Handshake({}, out);
  std::vector<char> buffer(kRecvBufferSize);
  for (;;) {
    if (!out.empty()) {
      std::lock_guard<std::mutex> sending(m_sendMutex);
      if (SendBytes(s, out) != 0) return fail(tls::Failure::Protocol, "the connection failed");
      out.clear();
    }
    if (status == tls::Status::Done) break;
    if (status != tls::Status::Continue) return fail(session->Error(), session->ErrorText());
    if (abandon && abandon()) return fail(tls::Failure::Other, "given up");
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return fail(tls::Failure::Protocol, "no answer to the handshake");
    const net::WaitResult ready =
        net::WaitReadable(s, static_cast<int>(std::min<int64_t>(left, kAbandonPollMs)));
    if (ready == net::WaitResult::Failed)
      return fail(tls::Failure::Protocol, "the connection failed");
    if (ready == net::WaitResult::TimedOut) continue;
    const int n = net::Recv(s, buffer.data(), static_cast<int>(buffer.size()));
    if (n == 0) return fail(tls::Failure::Protocol, "the server closed the connection");
    if (n < 0) {
      if (net::LastError() == net::kWouldBlock) continue;
      return fail(tls::Failure::Protocol, "the connection failed");
    }
    status = session->Handshake(std::string_view(buffer.data(), static_cast<size_t>(n)), out);
  }
  // What came with the handshake's last bytes is the server's first data.
  std::string plain;
  status = session->Decrypt({}, plain, out);
  if (status == tls::Status::Failed) return fail(session->Error(), session->ErrorText());
  {
    std::lock_guard<std::mutex> tls(m_tlsMutex);
    m_tls = std::move(session);
    m_tlsPending = std::move(plain);
  }
  if (!out.empty()) {
    std::lock_guard<std::mutex> sending(m_sendMutex);
    SendBytes(s, out);
  }
  return 0;
}

std::optional<tls::Negotiated> Connection::TlsParameters() const {
  std::lock_guard<std::mutex> tls(m_tlsMutex);
  if (!m_tls) return std::nullopt;
  return m_tls->Parameters();
}

tls::Status Connection::Decipher(std::string_view raw, std::string& plain) {
  std::lock_guard<std::mutex> tls(m_tlsMutex);
  plain.append(m_tlsPending);
  m_tlsPending.clear();
  if (!m_tls) return tls::Status::Continue;
  // Queued, not sent here: the owner may encrypt a later record before this
  // thread gets to send; whichever sends next sends these first.
  return m_tls->Decrypt(raw, plain, m_tlsReplies);
}

void Connection::SendReply() {
  std::lock_guard<std::mutex> sending(m_sendMutex);
  std::string replies;
  {
    std::lock_guard<std::mutex> tls(m_tlsMutex);
    replies.swap(m_tlsReplies);
  }
  if (!replies.empty()) SendBytes(m_socket.load(), replies);
}

int32_t Connection::HandOn(ConnectionSink& sink, std::string_view text) {
  // In chunks no longer than a read of a plain connection, so that what
  // follows (capture, replay) sees the same bounds either way.
  int32_t result = 0;
  while (!text.empty()) {
    const size_t n = std::min(text.size(), static_cast<size_t>(kRecvBufferSize));
    result = sink.OnChunk(*this, static_cast<int32_t>(n),
                          reinterpret_cast<const unsigned char*>(text.data()));
    text.remove_prefix(n);
  }
  return result;
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
  {
    // Over TLS, the server is told the stream ends (one try: a closing
    // connection does not wait for a stalled peer).
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> tls(m_tlsMutex);
    if (m_tls) {
      std::string out;
      m_tls->Close(out);
      if (!out.empty()) net::Send(m_socket.load(), out.data(), static_cast<int>(out.size()));
      m_tls.reset();
      m_tlsPending.clear();
    }
  }
  CloseSocket();
  m_bLost.store(0);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_recvBuf->fill(0);
}

int Connection::ReceiveOnce(std::string& text, int& error) {
  const int n = ReceiveOnceLocked(text, error);
  SendReply();
  return n;
}

int Connection::ReceiveOnceLocked(std::string& text, int& error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto& buffer = *m_recvBuf;
  buffer.fill(0);
  int n = net::Recv(m_socket.load(), buffer.data(), kRecvBufferSize);
  error = n < 0 ? net::LastError() : 0;
  text.clear();
  bool secure = false;
  {
    std::lock_guard<std::mutex> tls(m_tlsMutex);
    secure = m_tls != nullptr;
  }
  if (secure && n >= 0) {
    // Over TLS the script reads what the bytes decipher to (nothing yet,
    // until a record is whole).
    std::string plain;
    const tls::Status status = Decipher(
        std::string_view(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n)),
        plain);
    if (status == tls::Status::Failed) {
      error = kTlsFailed;
      return -1;
    }
    if (plain.empty()) {
      if (n == 0 || status == tls::Status::Closed) return 0;
      error = net::kWouldBlock;
      return -1;
    }
    buffer.fill(0);
    n = static_cast<int>(std::min(plain.size(), static_cast<size_t>(kRecvBufferSize)));
    std::memcpy(buffer.data(), plain.data(), static_cast<size_t>(n));
  }
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
      bool secure = false;
      std::string pending;
      {
        std::lock_guard<std::mutex> tls(m_tlsMutex);
        secure = m_tls != nullptr;
        pending = std::move(m_tlsPending);
        m_tlsPending.clear();
      }
      if (!pending.empty()) {
        // Data that came with the handshake's end goes first.
        std::lock_guard<std::mutex> lock(m_mutex);
        result = HandOn(sink, pending);
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
      bool handled = false;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& buffer = *m_recvBuf;
        buffer.fill(0);
        n = net::Recv(s, buffer.data(), kRecvBufferSize);
        error = n < 0 ? net::LastError() : 0;
        if (secure && n >= 0) {
          // The bytes as the server sent them: deciphered first. The end of
          // the stream with or without close_notify is a drop; a record that
          // does not decipher is a failed socket.
          // Kept between reads (under m_mutex), so a read allocates nothing.
          std::string& plain = m_plain;
          plain.clear();
          const tls::Status status =
              Decipher(std::string_view(reinterpret_cast<const char*>(buffer.data()),
                                        static_cast<size_t>(n)),
                       plain);
          if (!plain.empty()) result = HandOn(sink, plain);
          if (status == tls::Status::Failed) {
            n = -1;
            error = kTlsFailed;
          } else if (status == tls::Status::Closed) {
            n = 0;
          } else {
            handled = n > 0;
          }
        } else if (n > 0) {
          result = sink.OnChunk(*this, n, buffer.data());
          handled = true;
        }
      }
      SendReply();
      if (handled) continue;
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
