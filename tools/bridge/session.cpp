// One WebSocket connection and its component: see session.h.
#include "tools/bridge/session.h"

#include <algorithm>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/prefer.hpp>
#include <nlohmann/json.hpp>

#include "tools/bridge/hello.h"
#include "tools/bridge/text.h"

namespace corvane::bridge {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {
// {"event": NAME, "text": TEXT}, the text taken from the component's code
// page to UTF-8; at level 2, a conflated feed message's key as "key".
std::string EventFrame(std::string_view name, const std::string& text, std::string_view key) {
  nlohmann::json frame{{"event", name}, {"text", NarrowToUtf8(text)}};
  if (!key.empty()) frame["key"] = NarrowToUtf8(std::string(key));
  return frame.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
}  // namespace

Session::Session(net::ip::tcp::socket socket, const BridgeConfig& config, LogFunction log,
                 std::function<void()> finished)
    : m_config(config),
      m_log(std::move(log)),
      m_finished(std::move(finished)),
      m_ws(std::move(socket)),
      m_executor(m_ws.get_executor()) {}

Session::~Session() { Release(); }

void Session::Release() {
  if (m_thread) m_thread->Stop();
  m_thread.reset();
}

void Session::Start() {
  m_parser.emplace();
  m_parser->header_limit(8 * 1024);
  m_parser->body_limit(1024);
  m_handshakeDeadline = std::chrono::steady_clock::now() + kHandshakeTime;
  beast::get_lowest_layer(m_ws).expires_at(m_handshakeDeadline);
  http::async_read(
      beast::get_lowest_layer(m_ws), m_buffer, *m_parser,
      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRequest(ec); });
}

void Session::OnRequest(beast::error_code ec) {
  if (ec || m_closing) return;  // the socket goes with the session
  const auto& request = m_parser->get();
  m_origin = std::string(request[http::field::origin]);
  const bool status =
      !websocket::is_upgrade(request) && request.target() == kStatusPath &&
      (request.method() == http::verb::get || request.method() == http::verb::options);
  if (!websocket::is_upgrade(request) && !status)
    return Refuse(http::status::bad_request, "a WebSocket handshake is expected");
  const std::string host(request[http::field::host]);
  if (!HostIsLoopback(host))
    return Refuse(http::status::forbidden,
                  "Host " + host + " is not the loopback address or localhost");
  if (status) return AnswerStatus(request);
  if (!OriginAllowed(m_config, m_origin))
    return Refuse(http::status::forbidden,
                  "origin " + (m_origin.empty() ? "(none)" : m_origin) + " is not allowed");

  // The upgrade's answer within what is left of the handshake's time; the
  // stream's own timeouts take over from the socket's deadline.
  beast::get_lowest_layer(m_ws).expires_never();
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = std::max<std::chrono::steady_clock::duration>(
      m_handshakeDeadline - std::chrono::steady_clock::now(), std::chrono::milliseconds(1));
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  m_ws.set_option(timeouts);
  m_ws.read_message_max(m_config.maxFrameBytes);
#if !defined(_WIN32)
  // Linux grows a loopback socket's send buffer to megabytes. What waits
  // there has left the session's count, so the back-pressure bound no longer
  // sees it and conflation can no longer replace it: a slow page reads quotes
  // seconds old. A fixed buffer keeps that backlog in the count and, behind
  // it, in the component's queue. (Not on Windows: under Wine a page's
  // writes stalled with a fixed buffer.)
  beast::error_code ignored;
  beast::get_lowest_layer(m_ws).socket().set_option(
      net::socket_base::send_buffer_size(kSocketSendBufferBytes), ignored);
#endif
  m_ws.async_accept(request,
                    [self = shared_from_this()](beast::error_code e) { self->OnAccepted(e); });
}

void Session::Refuse(http::status status, const std::string& reason) {
  m_log("refused a connection: " + reason);
  auto refusal = std::make_shared<http::response<http::string_body>>(status, 11);
  refusal->set(http::field::content_type, "text/plain");
  refusal->body() = reason + "\n";
  Answer(std::move(refusal));
}

void Session::AnswerStatus(const http::request<http::string_body>& request) {
  // Any page may read the answer: it holds the versions and whether the
  // asking origin is allowed, nothing a page could use against the bridge.
  // A browser asks before a public page's request reaches loopback: older
  // Chrome with a preflight naming Access-Control-Request-Private-Network,
  // current Chrome and Firefox with the user's local network permission.
  const bool preflight = request.method() == http::verb::options;
  auto answer = std::make_shared<http::response<http::string_body>>(
      preflight ? http::status::no_content : http::status::ok, 11);
  const std::string allowOrigin = CorsOrigin(m_origin);
  if (!allowOrigin.empty()) answer->set(http::field::access_control_allow_origin, allowOrigin);
  answer->set(http::field::vary, "Origin");
  answer->set(http::field::cache_control, "no-store");
  if (preflight) {
    answer->set(http::field::access_control_allow_methods, "GET");
    if (request["Access-Control-Request-Private-Network"] == "true")
      answer->set("Access-Control-Allow-Private-Network", "true");
  } else {
    answer->set(http::field::content_type, "application/json");
    answer->body() = StatusBody(m_config, m_origin);
  }
  Answer(std::move(answer));
}

void Session::Answer(std::shared_ptr<http::response<http::string_body>> answer) {
  m_answer = std::move(answer);
  m_answer->set(http::field::connection, "close");
  m_answer->prepare_payload();
  http::async_write(beast::get_lowest_layer(m_ws), *m_answer,
                    [self = shared_from_this()](beast::error_code, size_t) {
                      beast::error_code ignored;
                      beast::get_lowest_layer(self->m_ws)
                          .socket()
                          .shutdown(net::ip::tcp::socket::shutdown_send, ignored);
                      beast::get_lowest_layer(self->m_ws).close();
                    });
}

void Session::OnAccepted(beast::error_code ec) {
  if (ec) return;
  m_open = true;
  m_log("page connected from origin " + m_origin);
  m_tokens = m_config.maxMessagesPerSecond;
  m_refilled = std::chrono::steady_clock::now();
  // The component's thread hands its frames back through the session's
  // executor; the handlers run only while the session's context runs, and
  // the session outlives that (the runner releases it after the run), so
  // they hold the session by pointer.
  m_componentWork = net::prefer(m_executor, net::execution::outstanding_work.tracked);
  m_thread = std::make_unique<ComponentThread>(
      m_config,
      [this](std::string_view name, const std::string& text, std::string_view key) {
        Hand(EventFrame(name, text, m_protocolLevel.load() >= 2 ? key : std::string_view()), false);
      },
      m_log, m_queuedBytes);
  const bool started = m_thread->Start(
      [this](bool made) { net::post(m_executor, [this, made] { OnComponentReady(made); }); });
  if (!started) return Close(websocket::close_code::internal_error, "no component thread");
}

void Session::OnComponentReady(bool made) {
  if (!made) return Close(websocket::close_code::internal_error, "no component");
  if (m_closing) return;
  ReadNext();
}

void Session::ReadNext() {
  if (m_closing || m_reading) return;
  if (Backlogged()) {
    m_readPaused = true;
    return;
  }
  m_readPaused = false;
  m_reading = true;
  m_ws.async_read(m_buffer,
                  [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
}

bool Session::TakeToken() {
  if (m_config.maxMessagesPerSecond == 0) return true;
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - m_refilled).count();
  m_refilled = now;
  const double capacity = m_config.maxMessagesPerSecond;
  m_tokens = std::min(capacity, m_tokens + seconds * capacity);
  if (m_tokens < 1) return false;
  m_tokens -= 1;
  return true;
}

void Session::OnRead(beast::error_code ec) {
  m_reading = false;
  if (ec) {
    if (ec == websocket::error::message_too_big)
      m_log("closed a page's connection: a message over " + std::to_string(m_config.maxFrameBytes) +
            " bytes (1009)");
    Shutdown();
    // The page is gone or has answered the close: a close of ours still
    // waiting for its answer would only wait out its timeout.
    beast::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().close(ignored);
    // Nothing of the session is left to run, but the stream's timeout timer
    // would keep the context busy for its full time.
    if (m_finished) m_finished();
    return;
  }
  if (m_closing) return;
  if (!m_ws.got_text()) return Close(websocket::close_code::unknown_data, "text frames only");
  if (!TakeToken())
    return Close(websocket::close_code::policy_error, "message rate limit exceeded");
  if (m_callsInFlight > kMaxCallsWaiting)
    return Close(websocket::close_code::policy_error, "too many calls waiting");
  std::string frame = beast::buffers_to_string(m_buffer.data());
  m_buffer.consume(m_buffer.size());
  if (m_firstMessage) {
    m_firstMessage = false;
    HelloOutcome hello = ReadHello(frame);
    if (hello.kind == HelloOutcome::kRefuse) {
      return Close(static_cast<websocket::close_code>(hello.closeCode), hello.answer);
    }
    if (hello.kind == HelloOutcome::kServe) {
      SetProtocolLevel(hello.level);
      m_queuedBytes += hello.answer.size();
      Queue(std::move(hello.answer));
      return ReadNext();
    }
  }
  ++m_callsInFlight;
  m_thread->Run([this, frame = std::move(frame)](MemberCaller& caller) {
    Hand(caller.HandleFrame(frame), true);
  });
  ReadNext();
}

void Session::OnReply(std::optional<std::string> reply) {
  if (!reply) return Close(websocket::close_code::bad_payload, "a message must be JSON");
  Queue(std::move(*reply));
}

void Session::Hand(std::optional<std::string> frame, bool reply) {
  if (frame) m_queuedBytes += frame->size();
  bool first;
  {
    std::lock_guard<std::mutex> lock(m_handedMutex);
    first = m_handed.empty();
    m_handed.push_back({std::move(frame), reply});
  }
  if (first) net::post(m_executor, [this] { TakeHanded(); });
}

void Session::TakeHanded() {
  std::vector<Handed> handed;
  {
    std::lock_guard<std::mutex> lock(m_handedMutex);
    handed.swap(m_handed);
  }
  // Everything handed over is queued before the first write starts, so the
  // events of one hand-over can share a frame.
  m_handing = true;
  for (Handed& h : handed) {
    if (!h.reply) {
      Queue(std::move(*h.frame), true);
      continue;
    }
    --m_callsInFlight;
    OnReply(std::move(h.frame));
  }
  m_handing = false;
  if (!m_writing) WriteNext();
}

void Session::Queue(std::string frame, bool event) {
  if (m_closing) {
    m_queuedBytes -= frame.size();
    return;
  }
  m_queue.push_back({std::move(frame), event});
  if (!m_writing && !m_handing) WriteNext();
}

void Session::WriteNext() {
  if (m_queue.empty() || m_closing) return;
  m_writing = true;
  // The events at the front, in order, as one array: "[" E1 "," E2 ... "]".
  size_t events = 0;
  size_t bytes = 2;
  if (m_protocolLevel.load() >= 2) {
    for (const Outgoing& o : m_queue) {
      if (!o.event || (events > 0 && bytes + o.frame.size() + 1 > kBatchBytes)) break;
      bytes += o.frame.size() + 1;
      ++events;
    }
  }
  m_out.clear();
  m_outCounted = 0;
  if (events > 1) {
    m_out.reserve(bytes);
    m_out.push_back('[');
    for (size_t i = 0; i < events; ++i) {
      if (i > 0) m_out.push_back(',');
      m_out += m_queue.front().frame;
      m_outCounted += m_queue.front().frame.size();
      m_queue.pop_front();
    }
    m_out.push_back(']');
  } else {
    m_out = std::move(m_queue.front().frame);
    m_outCounted = m_out.size();
    m_queue.pop_front();
  }
  m_ws.text(true);
  m_ws.async_write(net::buffer(m_out), [self = shared_from_this()](beast::error_code ec, size_t) {
    self->OnWritten(ec);
  });
}

void Session::OnWritten(beast::error_code ec) {
  m_writing = false;
  m_queuedBytes -= m_outCounted;
  m_outCounted = 0;
  if (ec) return Shutdown();
  WriteNext();
  if (Backlogged()) return;
  m_thread->Wake();
  if (m_readPaused) ReadNext();
}

void Session::Close(websocket::close_code code, const std::string& reason) {
  if (m_closing) return;
  if (!m_open) {
    m_closing = true;
    beast::get_lowest_layer(m_ws).close();
    return;
  }
  if (code != websocket::close_code::going_away)
    m_log("closing a page's connection: " + reason + " (" + std::to_string(static_cast<int>(code)) +
          ")");
  Shutdown();
  m_ws.async_close(websocket::close_reason(code, reason),
                   [self = shared_from_this()](beast::error_code) {});
}

void Session::Shutdown() {
  if (m_open && !m_closing) m_log("page disconnected (origin " + m_origin + ")");
  m_closing = true;
  // Frames not yet begun are dropped (the one being written is m_out, taken
  // off when its write ends); frames still on their way from the component's
  // thread take their bytes off as they arrive (Queue).
  for (const Outgoing& o : m_queue) m_queuedBytes -= o.frame.size();
  m_queue.clear();
  // The component's sequences end and its events stop now.
  if (m_thread) m_thread->Hold();
  m_componentWork.reset();
}

}  // namespace corvane::bridge
