// One page's WebSocket connection and the component it drives.
//
// Two threads: the session's own (its Asio context: the handshake, reading
// the page's calls, writing frames to it, closing) and the component's
// (component_thread.h: the component, the calls, the events). A call is
// handed to the component's thread and its events and reply come back, in the
// order they were made; the session goes on reading meanwhile, so a call
// that blocks (a connection sequence against a server that refuses) holds
// neither the page's close nor the bridge's stop. Calls run one at a time in
// the order sent; at most kMaxCallsWaiting may wait behind the one running
// (one more closes the connection, 1008), which bounds what a page can queue.
//
// The handshake (the HTTP request and the upgrade) must be over within
// kHandshakeTime of the accept; a connection that has not finished it by
// then is closed, so connections that send nothing hold no slot for long.
//
// Back-pressure: every frame made for the page counts (queuedBytes) until it
// is written. While the count is at or above the write bound the component
// makes nothing more for the page (component_thread.h) and the page's next
// call is not read. Its queue then fills, its readers stop reading, and TCP
// holds the servers back. The socket's own send buffer is fixed at
// kSocketSendBufferBytes (not on Windows), so that little waits where the
// count cannot see it.
//
// The page's first message may be a hello (hello.h): the session answers it
// on its own thread, before any call, and keeps the level it serves
// (ProtocolLevel); a page without one is served at level 1.
//
// Batching: a page at protocol level 2 or above (SetProtocolLevel, from the
// hello) gets the events that wait together in one text frame, a JSON array
// of the event objects in order, up to kBatchBytes; a lone event, and every
// reply, stays a frame of its own. A page's browser pays per frame, not per byte, so a page that
// reads one frame per event can take a twentieth of what it can take in
// arrays. A page at level 1 (no handshake) gets one frame per event, as it
// always has. At level 2 a feed message that the component conflates carries
// its key ("key"), so that the page conflates what waits in it as well.
//
// A request that is not a WebSocket upgrade is answered only at GET /status
// (hello.h; OPTIONS for a browser's preflight), to any origin, after the same
// Host check; every other one is refused with 400.
//
// Close codes, every one the bridge sends: 1001 the bridge stops; 1003 a
// binary frame; 1007 a frame that is not JSON (or nests deeper than
// MemberCaller allows); 1008 over the message rate, or too many calls
// waiting; 1009 over the frame size (Beast sends it); 1011 the component
// could not be made; 4000 the page's hello names a protocol level the bridge
// cannot serve (the reason names both); 4001 a malformed hello.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/optional.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/bridge/component_thread.h"
#include "tools/bridge/config.h"

namespace corvane::bridge {

using LogFunction = std::function<void(const std::string& line)>;

class Session : public std::enable_shared_from_this<Session> {
 public:
  static constexpr std::chrono::seconds kHandshakeTime{5};
  static constexpr int kMaxCallsWaiting = 32;
  // The page socket's kernel send buffer (SO_SNDBUF).
  static constexpr int kSocketSendBufferBytes = 64 * 1024;

  // finished is called (on the session's thread) once the page's connection
  // has ended, to end the thread's context.
  Session(boost::asio::ip::tcp::socket socket, const BridgeConfig& config, LogFunction log,
          std::function<void()> finished);
  ~Session();

  static constexpr size_t kBatchBytes = 256 * 1024;

  // Reads the handshake; everything else follows from the handlers.
  void Start();
  // Ends the session with a close frame (or drops a connection still in its
  // handshake). On the session's thread.
  void Close(boost::beast::websocket::close_code code, const std::string& reason);
  // Ends the component's thread, releasing the component there; on the
  // session's thread, after its context has run out of work.
  void Release();

  // The protocol level the page is served at (hello.h): set once, by the
  // handshake, before any event can reach the page; read from any thread.
  // 2 and above: events in arrays (see above).
  void SetProtocolLevel(int level) { m_protocolLevel = level; }
  int ProtocolLevel() const { return m_protocolLevel; }

 private:
  void OnRequest(boost::beast::error_code ec);
  void Refuse(boost::beast::http::status status, const std::string& reason);
  // The status answer (or its preflight's), then the connection is closed.
  void AnswerStatus(const boost::beast::http::request<boost::beast::http::string_body>& request);
  void Answer(
      std::shared_ptr<boost::beast::http::response<boost::beast::http::string_body>> answer);
  void OnAccepted(boost::beast::error_code ec);
  void OnComponentReady(bool made);
  void ReadNext();
  void OnRead(boost::beast::error_code ec);
  // The reply to a call (nullopt: the frame was not JSON), after its events.
  void OnReply(std::optional<std::string> reply);
  // A frame for the page, already counted in m_queuedBytes; event: it may
  // go out in an array with the events beside it.
  void Queue(std::string frame, bool event = false);
  void WriteNext();
  void OnWritten(boost::beast::error_code ec);
  // From the component's thread: the frame is counted there and queued on
  // the session's thread, behind everything handed over before it. Frames
  // wait in m_handed; only the first of a batch posts to the session's
  // thread (on Windows every post is a round trip through the completion
  // port, which under Wine is a call into its server).
  void Hand(std::optional<std::string> frame, bool reply);
  void TakeHanded();
  bool Backlogged() const { return m_queuedBytes.load() >= m_config.writeQueueBytes; }
  bool TakeToken();
  void Shutdown();

  using Stream = boost::beast::websocket::stream<boost::beast::tcp_stream>;
  const BridgeConfig& m_config;
  LogFunction m_log;
  std::function<void()> m_finished;
  Stream m_ws;
  // The session's thread: its context's executor.
  const boost::asio::any_io_executor m_executor;
  boost::beast::flat_buffer m_buffer;
  boost::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_parser;
  // The HTTP answer being written: a refusal, or the status answer.
  std::shared_ptr<boost::beast::http::response<boost::beast::http::string_body>> m_answer;
  std::string m_origin;

  std::chrono::steady_clock::time_point m_handshakeDeadline;

  std::unique_ptr<ComponentThread> m_thread;
  int m_callsInFlight = 0;  // handed to the component's thread, not answered yet
  struct Handed {
    std::optional<std::string> frame;
    bool reply;
  };
  std::mutex m_handedMutex;
  std::vector<Handed> m_handed;
  // Keeps the session's context running while the component's thread may
  // still hand something back (no read or write of the session's own need
  // be pending then: during a call, say); let go once the session closes.
  std::optional<boost::asio::any_io_executor> m_componentWork;

  struct Outgoing {
    std::string frame;
    bool event;
  };
  std::deque<Outgoing> m_queue;
  // The frame being written, made of queued frames whose counted bytes are
  // m_outCounted (taken off m_queuedBytes once it is written).
  std::string m_out;
  size_t m_outCounted = 0;
  bool m_handing = false;  // TakeHanded is queueing: it starts the write itself
  // The bytes of the frames made for the page and not yet written, those on
  // their way from the component's thread included.
  std::atomic<size_t> m_queuedBytes{0};
  bool m_open = false;  // the WebSocket handshake is done
  bool m_writing = false;
  bool m_reading = false;
  bool m_readPaused = false;
  bool m_closing = false;
  bool m_firstMessage = true;  // a hello may come only as the first
  std::atomic<int> m_protocolLevel{1};

  double m_tokens = 0;
  std::chrono::steady_clock::time_point m_refilled;
};

}  // namespace corvane::bridge
