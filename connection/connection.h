// Connection: one TCP connection's transport (interactive or broadcast).
//
// It owns the socket, the 32 768-byte receive buffer and the reader thread
// with its stop flag. What the connection is for (endpoint, route, receive
// pipeline, events, reconnection) is its link's business; the reader tells
// its sink what it read and asks it whether to go on (ConnectionSink).
//
// Opening: a new IPv4 TCP socket, SO_RCVBUF 32 768, TCP keep-alive with the
// timing last given (SetKeepAliveTiming; by default a vanished peer fails the
// socket within 30 s), a connect that the caller can abandon, then
// non-blocking mode for good. The previous socket's reader is stopped and
// joined before that socket is closed, so a descriptor is never closed (and
// perhaps reused) under a running read.
//
// The reader loop, once started: while its stop flag is clear and the sink
// says to keep reading, it waits until the socket is readable or 100 ms have
// passed, reads up to 32 768 bytes into the zero-filled buffer and hands the
// chunk to the sink at once; an idle connection is thus polled every 100 ms.
// While the sink reports a backlog the socket is left alone (asked again every
// 1 ms), so the receive window closes and the server slows down. When a read
// finds the end of the stream (the peer closed) or a socket error (anything
// but would-block), the connection is marked lost, the sink is told once
// (OnLost, no lock held) and the loop ends: that socket is not read again. A
// reader told to stop reports nothing. The socket is taken afresh on every
// pass.
//
// TLS (StartTls, after the connect and any tunnel): from then on every byte
// the reader receives is deciphered before its sink sees it, in chunks of at
// most 32 768 bytes as before, and every send is enciphered; the server's
// close_notify, or the stream ending without it, is a drop like a FIN, and a
// record that does not decipher is a drop like a socket error. The session
// is the connection's own; its lock serialises the reader's deciphering with
// the owner's sends.
//
// Threads: Open, Close, StartReader, StopReader and ReaderRunning may be
// called from any thread except the reader's own (the owner's thread and its
// reconnection worker both do); they are serialised by the connection's life
// lock, which the reader never takes. SendWhole and ReceiveOnce may come from
// any thread: the socket they use is not closed (nor its descriptor handed
// out again) while they run. The buffer is touched only under the
// connection's lock (the reader's pass, ReceiveOnce).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"
#include "platform/tls.h"
#include "protocol/results.h"

namespace corvane {

// Size of a connection's receive buffer, of one read, and its SO_RCVBUF.
inline constexpr int32_t kRecvBufferSize = 0x8000;

class Connection;

// What a connection's reader needs from its owner. Every callback runs on
// that connection's reader thread; the two connections' readers may call the
// same sink at the same time. No callback may open, close, start or stop a
// connection (stopping joins the reader the callback runs on).
class ConnectionSink {
 public:
  virtual ~ConnectionSink() = default;

  // At the top of every pass, with no lock held: false ends the loop (after
  // that the thread just returns). It may read any flags.
  virtual bool KeepReading(const Connection& connection) = 0;

  // At the top of every pass, with no lock held: true while the owner has too
  // much received data still undelivered. The reader then pauses 1 ms (cut
  // short by a stop) and asks again without reading.
  virtual bool Backlogged(const Connection& connection) = 0;

  // After a read of length (1 to 32 768) bytes into the connection's buffer.
  // data is the buffer: it holds the chunk followed by zero bytes up to
  // 32 768. Called with the connection's lock held: the callee must not
  // re-enter anything that takes that lock (ReceiveOnce, Close, Open). The
  // return value becomes the loop's result; an exception ends the loop and
  // makes its result -1 (the sink is told through OnLoopFailed).
  virtual int32_t OnChunk(Connection& connection, int32_t length, const unsigned char* data) = 0;

  // Once, when an exception ended the loop. No lock held.
  virtual void OnLoopFailed(Connection& /*connection*/) {}

  // Once, when a read found the peer closed (error 0) or the socket failed
  // (the Winsock code), the connection already marked lost; the loop ends
  // right after. No lock held. It may queue events and wake other threads,
  // but must not open, close, start or stop this connection.
  virtual void OnLost(Connection& /*connection*/, int /*error*/) {}
};

class Connection {
 public:
  Connection();
  // Stops and joins the reader and closes the socket.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Replaces the socket by a new one connected to dottedAddress:port (the
  // reader, if any, is stopped and joined first). The connect is given up
  // (-1) once abandon() turns true (an empty function never abandons). 0 on
  // success; -1 when no socket could be made or the connect failed (a failed
  // connect leaves its socket in place).
  int32_t Open(const std::string& dottedAddress, int32_t port,
               const std::function<bool()>& abandon = {});
  // How many sockets Open has made so far: chunks read under different
  // numbers came on different connections.
  uint32_t Openings() const { return m_nOpenings.load(); }

  // Sends all length bytes (enciphered, over TLS), waiting for writability
  // when the socket would block, at most 2 s each time: 0, or -3 on an error
  // or a socket that stays unwritable that long.
  int32_t SendWhole(const char* data, int32_t length);

  // The TLS handshake on the socket Open made (after the proxy's tunnel, if
  // any), within waitMs, given up once abandon() turns true: 0, or -1 with
  // why in *failure and *text. No reader may run yet.
  int32_t StartTls(const tls::ClientConfig& config, int32_t waitMs,
                   const std::function<bool()>& abandon, tls::Failure* failure, std::string* text);
  // What the handshake negotiated; nullopt on a plain connection.
  std::optional<tls::Negotiated> TlsParameters() const;

  // Starts the reader thread for sink, after stopping and joining any
  // earlier one; an idle socket is looked at every pollMs. False when the
  // thread cannot be made.
  bool StartReader(ConnectionSink& sink, int32_t pollMs = 100);
  // Asks the reader to end at its next pass, without waiting for it.
  void RequestStop();
  // Asks the reader to end and joins it; nothing when none runs.
  void StopReader();
  // Stops the reader, closes the socket (handle 0 afterwards) and zero-fills
  // the receive buffer.
  void Close();
  bool ReaderRunning() const;

  // The keep-alive timing that the next Open gives its socket.
  void SetKeepAliveTiming(const net::KeepAliveTiming& timing);

  // True once the reader found this connection's socket closed or failed,
  // until the next Open or Close.
  bool Lost() const { return m_bLost.load() != 0; }

  // One read by the owner itself (no reader running): zero-fills the buffer,
  // reads up to 32 768 bytes and gives the bytes up to the first zero byte in
  // text. Returns what the read returned (bytes, 0 for a closed peer, -1) and
  // the socket error of a failed read in error.
  int ReceiveOnce(std::string& text, int& error);

  SocketHandle Socket() const { return m_socket.load(); }

 private:
  int32_t ReceiveLoop(ConnectionSink& sink, int pollMs);
  // A pause of the reader, cut short by a stop request.
  void Pause(int milliseconds);
  // StopReader with m_lifeMutex held.
  void StopReaderLocked();
  // Sends all of bytes on s; the caller holds m_sendMutex. 0, or -3.
  static int32_t SendBytes(SocketHandle s, std::string_view bytes);
  // Deciphers raw bytes over TLS: the plaintext (after what was pending),
  // and whether the stream ended (close_notify) or failed. What the session
  // must answer is queued for SendReply or the next send.
  tls::Status Decipher(std::string_view raw, std::string& plain);
  // Sends what the session queued to answer (no other lock held).
  void SendReply();
  // ReceiveOnce with m_mutex taken.
  int ReceiveOnceLocked(std::string& text, int& error);
  // Hands text to the sink in chunks of at most 32 768 bytes; the caller
  // holds m_mutex.
  int32_t HandOn(ConnectionSink& sink, std::string_view text);
  // Closes the socket once no send and no owner's read is using it.
  void CloseSocket();

  std::atomic<SocketHandle> m_socket{0};
  std::atomic<uint8_t> m_bLost{0};
  std::atomic<uint32_t> m_nOpenings{0};

  // Serialises Open, Close, StartReader and StopReader (the owner's thread
  // and its reconnection worker); guards m_reader and m_keepAlive.
  mutable std::mutex m_lifeMutex;
  net::KeepAliveTiming m_keepAlive;
  std::thread m_reader;
  // Set under m_stopMutex and announced on m_stopWake, so a pausing reader
  // ends at once; one inside its readiness wait ends within 100 ms.
  std::atomic<bool> m_bStop{false};
  std::mutex m_stopMutex;
  std::condition_variable m_stopWake;

  // Guards m_recvBuf: the reader's pass (read and hand-over) and the owner's
  // own reads never overlap, and the socket is not closed under either.
  std::mutex m_mutex;
  // Held by a send; the socket is not closed under it.
  std::mutex m_sendMutex;

  // Guards m_tls and m_tlsPending; taken inside m_mutex or m_sendMutex.
  mutable std::mutex m_tlsMutex;
  std::unique_ptr<tls::ClientSession> m_tls;
  // Plaintext deciphered with the handshake's last bytes, for the reader.
  std::string m_tlsPending;
  std::string m_tlsReplies;  // records the reader made, sent before the next
  std::unique_ptr<std::array<unsigned char, kRecvBufferSize>> m_recvBuf;
  std::string m_plain;  // a TLS read's deciphered bytes (reader, under m_mutex)
};

}  // namespace corvane
