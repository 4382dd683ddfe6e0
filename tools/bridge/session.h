// One page's WebSocket connection and the component it drives.
//
// POSIX: everything of a session runs on its own thread, which is the
// component's owner thread: the handshake, the calls (a connecting call
// blocks this thread, as it blocks a page's script thread in-process), the
// events and the writes. The session waits on the component's event handle
// (readable while notifications wait) and pumps it; each pump may deliver
// only a slice of what is queued and leave the handle readable, so after
// every pump the handle is checked again and pumped at once while it stays
// readable.
//
// Windows: the component lives on a thread of its own that runs a message
// loop (component_thread.h); the session's thread hands it each call and
// takes back the events and the reply, in the order they were made. One call
// runs at a time: the page's next message is read once the reply is back.
//
// Back-pressure: every frame made for the page counts (queuedBytes) until it
// is written. While the count exceeds the write bound the component is not
// pumped (nor the page's next call read). Its queue then fills, its readers
// stop reading, and TCP holds the servers back. Memory is bounded by the
// write bound plus one pump's worth of events.
//
// Close codes: 1001 the bridge stops; 1003 a binary frame; 1007 a frame that
// is not JSON; 1008 over the message rate; 1009 over the frame size (Beast
// sends it); 1011 the component could not be made.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#if !defined(_WIN32)
#include <boost/asio/posix/stream_descriptor.hpp>
#endif
#include <atomic>
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

#include "component/component_methods.h"
#include "tools/bridge/config.h"
#include "tools/bridge/members.h"
#if defined(_WIN32)
#include "tools/bridge/component_thread.h"
#endif

namespace corvane::bridge {

using LogFunction = std::function<void(const std::string& line)>;

class Session : public std::enable_shared_from_this<Session> {
 public:
  // finished is called (on the session's thread) once the page's connection
  // has ended, to end the thread's context.
  Session(boost::asio::ip::tcp::socket socket, const BridgeConfig& config, LogFunction log,
          std::function<void()> finished);
  ~Session();

  // Reads the handshake; everything else follows from the handlers.
  void Start();
  // Ends the session with a close frame (or drops a connection still in its
  // handshake). On the session's thread.
  void Close(boost::beast::websocket::close_code code, const std::string& reason);
  // Releases the component (joining its readers); on the session's thread,
  // after its context has run out of work.
  void Release();

 private:
  void OnRequest(boost::beast::error_code ec);
  void Refuse(boost::beast::http::status status, const std::string& reason);
  void OnAccepted(boost::beast::error_code ec);
  void OnComponentReady(bool made);
  void ReadNext();
  void OnRead(boost::beast::error_code ec);
  // The reply to a call (nullopt: the frame was not JSON), after its events.
  void OnReply(std::optional<std::string> reply);
  // A frame for the page, already counted in m_queuedBytes.
  void Queue(std::string frame);
  void WriteNext();
  void OnWritten(boost::beast::error_code ec);
#if defined(_WIN32)
  // From the component's thread: the frame is counted there and queued on
  // the session's thread, behind everything handed over before it. Frames
  // wait in m_handed; only the first of a batch posts to the session's
  // thread (every post is a round trip through the completion port, which
  // under Wine is a call into its server).
  void Hand(std::optional<std::string> frame, bool reply);
  void TakeHanded();
#else
  void ArmPump();
  void OnEvents(boost::beast::error_code ec);
#endif
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
  std::shared_ptr<boost::beast::http::response<boost::beast::http::string_body>> m_refusal;
  std::string m_origin;

#if defined(_WIN32)
  std::unique_ptr<ComponentThread> m_thread;
  bool m_calling = false;  // a call is on the component's thread
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
#else
  std::unique_ptr<CComponentMethods> m_component;
  std::optional<MemberCaller> m_caller;
  std::optional<boost::asio::posix::stream_descriptor> m_events;
#endif

  std::deque<std::string> m_queue;
  // The bytes of the frames made for the page and not yet written (on
  // Windows also those on their way from the component's thread).
  std::atomic<size_t> m_queuedBytes{0};
  bool m_open = false;  // the WebSocket handshake is done
  bool m_writing = false;
  bool m_reading = false;
  bool m_readPaused = false;
#if !defined(_WIN32)
  bool m_pumpArmed = false;
  bool m_pumpPaused = false;
#endif
  bool m_closing = false;

  double m_tokens = 0;
  std::chrono::steady_clock::time_point m_refilled;
};

}  // namespace corvane::bridge
