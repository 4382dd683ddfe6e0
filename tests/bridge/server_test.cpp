// The bridge over real WebSockets (a Beast client on loopback): the handshake's
// refusals, the limits and their close codes, a session against the sandbox
// back end (events before results, every message once and in order, a page
// that stops reading holds the feed back), and the bridge stopping.
#include "tools/bridge/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/keys.h"
#include "protocol/encoder.h"
#include "protocol/wire.h"
#include "tests/codec/stream_cipher.h"
#include "tools/bridge/hello.h"
#include "tools/bridge/session.h"

namespace corvane::bridge {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using json = nlohmann::json;

constexpr const char* kOrigin = "http://127.0.0.1:8080";

// A bridge on a free port that keeps its log lines.
struct Bridge {
  explicit Bridge(BridgeConfig config = {}) {
    config.port = 0;
    if (config.allowedOrigins.empty()) config.allowedOrigins = {kOrigin};
    server = std::make_unique<BridgeServer>(config, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      log.push_back(line);
    });
    std::string error;
    started = server->Start(&error);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }
  std::mutex mutex;
  std::vector<std::string> log;
  std::unique_ptr<BridgeServer> server;
  bool started = false;
};

// A page's side; every operation is bounded by a 10 s expiry.
class Page {
 public:
  // The handshake with this Host header and Origin (none when nullopt); the
  // HTTP status of the answer (101 when upgraded).
  unsigned Connect(uint16_t port, const std::string& host = "127.0.0.1",
                   const std::optional<std::string>& origin = kOrigin) {
    beast::get_lowest_layer(m_ws).connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
    m_ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
      if (origin) req.set(http::field::origin, *origin);
    }));
    websocket::response_type response;
    Run([&](auto handler) { m_ws.async_handshake(response, host, "/", handler); });
    return response.result_int();
  }
  beast::error_code Send(const std::string& text, bool binary = false) {
    m_ws.binary(binary);
    return Run([&](auto handler) { m_ws.async_write(net::buffer(text), handler); });
  }
  beast::error_code Call(int id, const std::string& method, const json& args) {
    return Send(json{{"id", id}, {"method", method}, {"args", args}}.dump());
  }
  // The next frame, or nullopt when the connection ended (see CloseCode).
  std::optional<json> Read() {
    beast::flat_buffer buffer;
    if (Run([&](auto handler) { m_ws.async_read(buffer, handler); })) return std::nullopt;
    return json::parse(beast::buffers_to_string(buffer.data()));
  }
  // Reads until the connection ends; the close code the bridge sent.
  int CloseCode() {
    while (Read()) {
    }
    return static_cast<int>(m_ws.reason().code);
  }
  std::string CloseReason() const { return std::string(m_ws.reason().reason.c_str()); }

 private:
  template <class Start>
  beast::error_code Run(Start start) {
    beast::error_code result = net::error::timed_out;
    beast::get_lowest_layer(m_ws).expires_after(std::chrono::seconds(10));
    start([&result](beast::error_code ec, auto&&...) { result = ec; });
    m_context.restart();
    m_context.run();
    return result;
  }

  net::io_context m_context;
  websocket::stream<beast::tcp_stream> m_ws{m_context};
};

TEST(BridgeHandshake, OriginAndHostDecideAndEveryRefusalIsLogged) {
  struct Case {
    const char* host;
    std::optional<std::string> origin;
    unsigned status;
    const char* logged;  // the refusal's log line, or nullptr
  };
  const Case cases[] = {
      {"127.0.0.1", std::string(kOrigin), 101, nullptr},
      {"localhost:1", std::string("HTTP://127.0.0.1:8080"), 101, nullptr},
      {"[::1]", std::string(kOrigin), 101, nullptr},
      {"127.0.0.1", std::string("http://evil.example"), 403,
       "refused a connection: origin http://evil.example is not allowed"},
      {"127.0.0.1", std::string("http://127.0.0.1:8081"), 403,
       "refused a connection: origin http://127.0.0.1:8081 is not allowed"},
      {"127.0.0.1", std::nullopt, 403, "refused a connection: origin (none) is not allowed"},
      {"127.0.0.1", std::string("null"), 403, "refused a connection: origin null is not allowed"},
      // DNS rebinding: a public name pointed at 127.0.0.1 by its owner.
      {"rebind.example:8765", std::string(kOrigin), 403,
       "refused a connection: Host rebind.example:8765 is not the loopback address or localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + c.origin.value_or("(none)"));
    Bridge bridge;
    ASSERT_TRUE(bridge.started);
    {
      Page page;  // gone before the bridge stops: no close handshake to wait for
      EXPECT_EQ(page.Connect(bridge.server->Port(), c.host, c.origin), c.status);
    }
    bridge.server->Stop();
    const auto log = bridge.Log();
    if (c.logged) {
      EXPECT_NE(std::find(log.begin(), log.end(), c.logged), log.end());
    } else {
      EXPECT_EQ(std::count_if(log.begin(), log.end(),
                              [](const std::string& l) { return l.find("refused") == 0; }),
                0);
    }
  }
}

// The first message may be a hello; the bridge answers the highest level it
// speaks up to the page's, or closes with its own code and a reason that
// names both. Either way calls follow as at level 1.
TEST(BridgeHandshake, HelloIsAnsweredWithTheLevelServedOrRefused) {
  struct Case {
    std::string first;
    json answer;  // the first frame back, or null when the page is closed
    int code;
    std::string reason;
  };
  const auto hello = [](const json& level) {
    return json{{"hello", {{"protocol", level}, {"client", "test 1"}}}}.dump();
  };
  const auto served = [](int level) {
    return json{{"hello",
                 {{"protocol", level},
                  {"bridge", std::string(BridgeVersion())},
                  {"component", std::string(ComponentVersion())}}}};
  };
  const std::string call = R"({"id":1,"method":"getRequestCount"})";
  const std::string unsupported = " is not supported: this bridge speaks 1 to 2";
  const Case cases[] = {
      {hello(2), served(2), 0, ""},
      {hello(1), served(1), 0, ""},
      {hello(9), served(2), 0, ""},
      {hello(std::numeric_limits<uint64_t>::max()), served(2), 0, ""},
      {call, json{{"id", 1}, {"result", 0}}, 0, ""},  // a level-1 page
      {hello(0), nullptr, 4000, "protocol level 0" + unsupported},
      {hello(-7), nullptr, 4000, "protocol level -7" + unsupported},
      {hello("2"), nullptr, 4001, ""},
      {R"({"hello":{"protocol":2},"id":1})", nullptr, 4001, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    Bridge bridge;
    Page page;
    ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);
    page.Send(c.first);
    if (c.answer.is_null()) {
      EXPECT_EQ(page.CloseCode(), c.code);
      if (!c.reason.empty()) {
        EXPECT_EQ(page.CloseReason(), c.reason);
      }
      continue;
    }
    EXPECT_EQ(page.Read(), c.answer);
    // A hello counts only as the first message; calls go on as before.
    page.Send(hello(2));
    EXPECT_EQ(page.Read()->at("error"),
              "a call is {\"id\": ID, \"method\": NAME, \"args\": [...]}");
    page.Call(2, "getRequestCount", json::array());
    EXPECT_EQ(page.Read(), (json{{"id", 2}, {"result", 0}}));
  }
}

// GET /status answers any page (the origin check is its content, not a gate)
// with the versions and whether its origin is allowed; the Host check holds.
TEST(BridgeHandshake, StatusTellsVersionsAndWhetherTheOriginIsAllowed) {
  struct Case {
    std::string request;
    unsigned status;
    std::optional<bool> allowed;  // the body's originAllowed
    std::string allowOrigin;      // Access-Control-Allow-Origin
    std::string privateNetwork;   // Access-Control-Allow-Private-Network
  };
  const std::string host = "Host: 127.0.0.1\r\n";
  const Case cases[] = {
      {"GET /status HTTP/1.1\r\n" + host + "Origin: " + kOrigin + "\r\n", 200, true, kOrigin, ""},
      {"GET /status HTTP/1.1\r\n" + host + "Origin: https://evil.example\r\n", 200, false,
       "https://evil.example", ""},
      {"GET /status HTTP/1.1\r\n" + host, 200, false, "", ""},
      {"GET /status HTTP/1.1\r\n" + host + "Origin: null\r\n", 200, false, "", ""},
      {"OPTIONS /status HTTP/1.1\r\n" + host + "Origin: https://evil.example\r\n" +
           "Access-Control-Request-Private-Network: true\r\n",
       204, std::nullopt, "https://evil.example", "true"},
      {"GET /status HTTP/1.1\r\nHost: rebind.example\r\nOrigin: https://evil.example\r\n", 403,
       std::nullopt, "", ""},
      {"POST /status HTTP/1.1\r\n" + host, 400, std::nullopt, "", ""},
      {"GET / HTTP/1.1\r\n" + host, 400, std::nullopt, "", ""},
  };
  Bridge bridge;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), bridge.server->Port()));
    net::write(socket, net::buffer(c.request + "\r\n"));
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    beast::error_code ec;
    http::read(socket, buffer, response, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(response.result_int(), c.status);
    EXPECT_EQ(response[http::field::access_control_allow_origin], c.allowOrigin);
    EXPECT_EQ(response["Access-Control-Allow-Private-Network"], c.privateNetwork);
    if (!c.allowed) continue;
    EXPECT_EQ(json::parse(response.body()), (json{{"bridge", std::string(BridgeVersion())},
                                                  {"component", std::string(ComponentVersion())},
                                                  {"protocol", {{"min", 1}, {"max", 2}}},
                                                  {"originAllowed", *c.allowed}}));
  }
}

TEST(BridgeLimits, APageOverALimitIsClosedWithItsCode) {
  struct Case {
    const char* what;
    int frames;  // how many times the frame is sent
    std::string frame;
    bool binary;
    int code;
  };
  const std::string call = R"({"id":1,"method":"getRequestCount"})";
  const Case cases[] = {
      {"frame over the size limit", 1, "[\"" + std::string(2000, 'x') + "\"]", false, 1009},
      {"over the message rate", 40, call, false, 1008},
      {"binary frame", 1, call, true, 1003},
      {"not JSON", 1, "{", false, 1007},
      {"nested too deep", 1, R"({"id":)" + std::string(40, '[') + std::string(40, ']') + "}", false,
       1007},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BridgeConfig config;
    config.maxFrameBytes = 1024;
    config.maxMessagesPerSecond = 10;
    Bridge bridge(config);
    Page page;
    ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);
    for (int i = 0; i < c.frames; ++i) page.Send(c.frame, c.binary);
    EXPECT_EQ(page.CloseCode(), c.code);
  }
}

TEST(BridgeLimits, ConnectionsBeyondTheLimitAreAnswered503) {
  BridgeConfig config;
  config.maxConnections = 1;
  Bridge bridge(config);
  Page first, second;
  ASSERT_EQ(first.Connect(bridge.server->Port()), 101u);
  EXPECT_EQ(second.Connect(bridge.server->Port()), 503u);
  first.Call(1, "getRequestCount", json::array());
  EXPECT_EQ(first.Read(), (json{{"id", 1}, {"result", 0}}));
}

// The feed's sequence number (tag 34) of a data event's text.
int64_t Sequence(const json& event) {
  const std::string text = event.at("text");
  const size_t at = text.find("|34=");
  return at == std::string::npos ? -1 : std::stoll(text.substr(at + 4));
}

// The servers of the session tests, the same on every platform: two loopback
// ports. The interactive one takes a connection and reads it; the broadcast
// one, once connected, writes the logon response and then numbered feed
// messages of 4096 bytes (tag 34 from 0), one plain response each, as fast as
// the peer takes them, and counts those written. Given a session key, every
// response is encrypted: the logon response under the fixed key, followed by
// a pause so that it is read alone, then the feed under the session key.
class FeedServer {
 public:
  explicit FeedServer(std::string sessionKey = "5820417396284051", bool encrypted = false)
      : m_key(std::move(sessionKey)), m_encrypted(encrypted) {
    for (tcp::acceptor* a : {&m_interactive, &m_broadcast}) {
      a->open(tcp::v4());
      a->bind(tcp::endpoint(net::ip::address_v4::loopback(), 0));
      a->listen();
    }
    m_interactive.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      m_interactiveClient = std::move(socket);
      Drain();
    });
    m_broadcast.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      m_broadcastClient = std::move(socket);
      const std::string logon =
          std::string(wire::kTagCode) + "=10000|" + std::string(wire::kTagSessionKey) + "=" + m_key;
      m_block = Response(logon, g_strFixedKey, wire::kMarkerFixedKey);
      if (!m_encrypted) {
        Feed();
        return;
      }
      net::async_write(*m_broadcastClient, net::buffer(m_block),
                       [this](beast::error_code ec, size_t) {
                         if (ec) return;
                         // The feed is read with the key the logon answer
                         // carries, from the read after it: the pause keeps
                         // the two apart even on a loaded machine.
                         m_pause.expires_after(std::chrono::milliseconds(500));
                         m_pause.async_wait([this](beast::error_code e) {
                           if (!e) Next();
                         });
                       });
    });
    m_thread = std::thread([this] { m_context.run(); });
  }
  ~FeedServer() {
    net::post(m_context, [this] {
      beast::error_code ignored;
      m_pause.cancel();
      for (tcp::acceptor* a : {&m_interactive, &m_broadcast}) a->close(ignored);
      for (std::optional<tcp::socket>* s : {&m_interactiveClient, &m_broadcastClient})
        if (*s) (*s)->close(ignored);
    });
    m_thread.join();
  }
  uint16_t InteractivePort() const { return m_interactive.local_endpoint().port(); }
  uint16_t BroadcastPort() const { return m_broadcast.local_endpoint().port(); }
  // Feed messages wholly written.
  int64_t Written() const { return m_written; }

 private:
  void Drain() {
    m_interactiveClient->async_read_some(net::buffer(m_scratch),
                                         [this](beast::error_code ec, size_t) {
                                           if (!ec) Drain();
                                         });
  }
  std::string Response(const std::string& message, std::string_view key, unsigned char marker) {
    const std::string block = wire::JoinMessages({message});
    if (!m_encrypted) return wire::Response(block);
    return wire::Response(wire::EncryptedBody(block, {test::StreamEncipher, key, marker}));
  }
  // The next feed message, then on.
  void Next() {
    if (m_next > 0) m_written = m_next;
    std::string message = "35=X|34=" + std::to_string(m_next++) + "|55=DEMO|58=";
    message.resize(4096, 'p');
    m_block = Response(message, m_key, wire::kMarkerSessionKey);
    Feed();
  }
  void Feed() {
    net::async_write(*m_broadcastClient, net::buffer(m_block),
                     [this](beast::error_code ec, size_t) {
                       if (!ec) Next();
                     });
  }

  std::string m_key;
  bool m_encrypted;
  net::io_context m_context;
  net::steady_timer m_pause{m_context};
  tcp::acceptor m_interactive{m_context};
  tcp::acceptor m_broadcast{m_context};
  std::optional<tcp::socket> m_interactiveClient, m_broadcastClient;
  char m_scratch[4096];
  std::string m_block;
  int64_t m_next = 0;
  std::atomic<int64_t> m_written{0};
  std::thread m_thread;
};

TEST(BridgeSession, EventsPrecedeResultsAndASlowPageHoldsTheFeedBack) {
  FeedServer backend;
  BridgeConfig config;
  config.allowedServers = {{"127.0.0.1", backend.InteractivePort()},
                           {"127.0.0.1", backend.BroadcastPort()}};
  config.writeQueueBytes = 4096;
  config.maxMessagesPerSecond = 0;
  Bridge bridge(config);
  Page page;
  ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);

  const json calls[] = {{"setMultiOC", {1}},        {"setCompression", {false}},
                        {"setEncryption", {false}}, {"handleConnect", {true}},
                        {"handleData", {true}},     {"handleAuthentication", {true}}};
  int id = 0;
  for (const json& c : calls) {
    page.Call(++id, c[0], c[1]);
    EXPECT_EQ(page.Read(), (json{{"id", id}, {"result", nullptr}}));
  }
  page.Call(++id, "setOCDetails",
            {"127.0.0.1", std::to_string(backend.InteractivePort()), "127.0.0.1",
             std::to_string(backend.BroadcastPort()), "", ""});
  // Both connections' events, fired inside the call, come before its result.
  const json connect = {{"event", "handleConnect"}, {"text", "true"}};
  EXPECT_EQ(page.Read(), connect);
  EXPECT_EQ(page.Read(), connect);
  EXPECT_EQ(page.Read(), (json{{"id", id}, {"result", nullptr}}));

  // The page reads nothing now: the back end's count of sent messages must
  // stop growing (the bridge stops pumping, the component stops reading, TCP
  // stops the back end) instead of the bridge buffering the feed.
  int64_t last = -1;
  int steady = 0;
  for (int i = 0; i < 100 && steady < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const int64_t sent = backend.Written();
    steady = sent == last ? steady + 1 : 0;
    last = sent;
  }
  EXPECT_EQ(steady, 4) << "the feed never stopped while the page did not read";
  EXPECT_GT(last, 0);

  // Then everything arrives once and in order, beyond where the feed stood.
  EXPECT_EQ(page.Read(),
            (json{{"event", "handleAuthentication"}, {"text", "true|10000|Logon success"}}));
  int64_t expected = 0;
  while (expected <= last + 200) {
    const std::optional<json> event = page.Read();
    ASSERT_TRUE(event);
    ASSERT_EQ(event->at("event"), "handleData");
    ASSERT_EQ(Sequence(*event), expected) << event->dump();
    ++expected;
  }
  // The page reads on while the bridge stops: its close frame waits behind
  // the events already in flight to this slow page.
  std::thread stop([&] { bridge.server->Stop(); });
  EXPECT_EQ(page.CloseCode(), 1001);  // going away
  stop.join();
}

// A page at protocol level 2 that reads slowly: the events waiting for it
// come in arrays, every message once and in order; replies stay frames of
// their own.
TEST(BridgeSession, APageAtLevelTwoGetsWaitingEventsInArrays) {
  FeedServer backend;
  BridgeConfig config;
  config.allowedServers = {{"127.0.0.1", backend.InteractivePort()},
                           {"127.0.0.1", backend.BroadcastPort()}};
  config.allowedOrigins = {kOrigin};
  config.writeQueueBytes = 64 * 1024;
  config.maxMessagesPerSecond = 0;
  // The session made by hand, so that its level is set before it starts.
  net::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  std::shared_ptr<Session> session;
  acceptor.async_accept([&](beast::error_code ec, tcp::socket socket) {
    ASSERT_FALSE(ec);
    session = std::make_shared<Session>(
        std::move(socket), config, [](const std::string&) {}, [&] { context.stop(); });
    session->SetProtocolLevel(2);
    session->Start();
  });
  std::thread runner([&] { context.run(); });
  Page page;
  ASSERT_EQ(page.Connect(acceptor.local_endpoint().port()), 101u);
  int id = 0;
  const json calls[] = {{"setMultiOC", {1}},
                        {"setCompression", {false}},
                        {"setEncryption", {false}},
                        {"handleData", {true}}};
  for (const json& c : calls) {
    page.Call(++id, c[0], c[1]);
    page.Read();
  }
  page.Call(++id, "setOCDetails",
            {"127.0.0.1", std::to_string(backend.InteractivePort()), "127.0.0.1",
             std::to_string(backend.BroadcastPort()), "", ""});
  EXPECT_EQ(page.Read(), (json{{"id", id}, {"result", nullptr}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the page is slow
  int64_t expected = 0;
  size_t arrays = 0;
  while (expected < 2000) {
    const std::optional<json> frame = page.Read();
    ASSERT_TRUE(frame);
    const json events = frame->is_array() ? *frame : json::array({*frame});
    if (frame->is_array()) {
      ++arrays;
      EXPECT_GT(frame->size(), 1u);
    }
    for (const json& event : events) {
      ASSERT_EQ(event.at("event"), "handleData");
      ASSERT_EQ(Sequence(event), expected++) << event.dump();
    }
  }
  EXPECT_GT(arrays, 0u);
  net::post(context, [&] { session->Close(websocket::close_code::going_away, "done"); });
  EXPECT_EQ(page.CloseCode(), 1001);
  runner.join();
  session->Release();
}

// Two pages of one bridge, each with its own component in the one process:
// each logs on under the fixed key and reads its feed under its own session
// key, the second arriving while the first is reading.
TEST(BridgeSession, EveryPageLogsOnUnderTheFixedKey) {
  FeedServer first("1111222233334444", true), second("5555666677778888", true);
  BridgeConfig config;
  for (FeedServer* f : {&first, &second}) {
    config.allowedServers.push_back({"127.0.0.1", f->InteractivePort()});
    config.allowedServers.push_back({"127.0.0.1", f->BroadcastPort()});
  }
  config.maxMessagesPerSecond = 0;
  Bridge bridge(config);
  auto open = [&](Page& page, FeedServer& feed) {
    ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);
    const json calls[] = {{"setMultiOC", {1}},
                          {"setCompression", {false}},
                          {"setEncryption", {1}},
                          {"handleData", {true}},
                          {"handleAuthentication", {true}},
                          {"setOCDetails",
                           {"127.0.0.1", std::to_string(feed.InteractivePort()), "127.0.0.1",
                            std::to_string(feed.BroadcastPort()), "", ""}}};
    int id = 0;
    for (const json& c : calls) {
      page.Call(++id, c[0], c[1]);
      EXPECT_EQ(page.Read(), (json{{"id", id}, {"result", nullptr}}));
    }
  };
  // The logon, then feed messages in order from 0.
  auto readsItsFeed = [](Page& page, int64_t messages) {
    EXPECT_EQ(page.Read(),
              (json{{"event", "handleAuthentication"}, {"text", "true|10000|Logon success"}}));
    for (int64_t expected = 0; expected < messages; ++expected) {
      const std::optional<json> event = page.Read();
      ASSERT_TRUE(event);
      ASSERT_EQ(Sequence(*event), expected) << event->dump();
    }
  };
  Page a, b;
  open(a, first);
  readsItsFeed(a, 20);
  open(b, second);
  readsItsFeed(b, 20);
  // The first page's feed still reads with its own key.
  for (int i = 0; i < 20; ++i) {
    const std::optional<json> event = a.Read();
    ASSERT_TRUE(event);
    ASSERT_GE(Sequence(*event), 20) << event->dump();
  }
  bridge.server->Stop();
}

// A port on 127.0.0.1 where nothing listens: connecting is refused at once.
uint16_t RefusedPort() {
  net::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  return acceptor.local_endpoint().port();
}

// Whether a page gets a slot (is upgraded) before the time is out.
bool APageConnectsWithin(Bridge& bridge, std::chrono::steady_clock::duration time) {
  for (const auto start = std::chrono::steady_clock::now();
       std::chrono::steady_clock::now() - start < time;) {
    Page page;
    if (page.Connect(bridge.server->Port()) == 101u) return true;
  }
  return false;
}

// A text in the component's code page (a host with "é") is answered in
// UTF-8, and the bridge goes on.
TEST(BridgeCalls, TextsCrossTheBridgeAsUtf8) {
  Bridge bridge;
  Page page;
  ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);
  page.Call(1, "SetServerDetails", {"café.example", 9001, 0, 1});
  EXPECT_EQ(page.Read(),
            (json{{"id", 1}, {"error", "server café.example:9001 is not an allowed server"}}));
  page.Call(2, "getRequestCount", json::array());
  EXPECT_EQ(page.Read(), (json{{"id", 2}, {"result", 0}}));
}

// setTimerDetails(0, 2^31 - 1) and a server that refuses: the call runs on
// the component's thread, one attempt per floor; the page's session reads on
// meanwhile (a page that queues calls past the bound is closed, and its
// component let go at once), and the bridge stops within 2 s.
TEST(BridgeCalls, AStormOfAttemptsIsPacedAndEndsWithItsPageOrTheBridge) {
  using Clock = std::chrono::steady_clock;
  const uint16_t refused = RefusedPort();
  BridgeConfig config;
  config.allowedServers = {{"127.0.0.1", refused}};
  config.maxMessagesPerSecond = 0;
  config.maxConnections = 2;
  Bridge bridge(config);
  auto storm = [&](Page& page) {
    ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);
    page.Call(1, "handleConnectionFailure", {true});
    page.Call(2, "setTimerDetails", {0, 2147483647});
    page.Call(3, "SetServerDetails", {"127.0.0.1", refused, 0, 1});
    EXPECT_EQ(page.Read(), (json{{"id", 1}, {"result", nullptr}}));
    EXPECT_EQ(page.Read(), (json{{"id", 2}, {"result", nullptr}}));
  };
  Page reading, queueing;
  // Every failure read was an attempt made after this instant, so however
  // late this thread reads, the count is bounded by the time since.
  const auto stormStart = Clock::now();
  storm(reading);
  storm(queueing);

  int failures = 0;
  for (const auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(1);) {
    const std::optional<json> event = reading.Read();
    ASSERT_TRUE(event);
    ASSERT_EQ(event->at("event"), "handleConnectionFailure");
    ++failures;
  }
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stormStart).count();
  EXPECT_GE(failures, 2);
  EXPECT_LE(failures, 1 + elapsedMs / config.attemptFloorMs + 1);

  for (int id = 4; id < 4 + Session::kMaxCallsWaiting + 1; ++id)
    queueing.Call(id, "getRequestCount", json::array());
  EXPECT_EQ(queueing.CloseCode(), 1008);
  // Its slot is free once its component is gone.
  EXPECT_TRUE(APageConnectsWithin(bridge, std::chrono::seconds(2)));

  const auto start = Clock::now();
  bridge.server->Stop();  // the reading page reads no more
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

// The bridge's own transport policy holds for every page: with plain
// connections refused, a server that would accept is not connected to, and
// the page learns it as a failed attempt.
TEST(BridgeCalls, PlainConnectionsRefusedByTheBridgeFail) {
  FeedServer backend;
  BridgeConfig config;
  config.allowedServers = {{"127.0.0.1", backend.InteractivePort()}};
  config.refusePlain = true;
  Bridge bridge(config);
  Page page;
  ASSERT_EQ(page.Connect(bridge.server->Port()), 101u);
  page.Call(1, "handleConnectionFailure", {true});
  page.Call(2, "SetServerDetails", {"127.0.0.1", backend.InteractivePort(), 0, 1});
  page.Call(3, "getTransportSecurity", {1});
  EXPECT_EQ(page.Read(), (json{{"id", 1}, {"result", nullptr}}));
  EXPECT_EQ(page.Read(), (json{{"event", "handleConnectionFailure"}, {"text", "1"}}));
  EXPECT_EQ(page.Read(), (json{{"id", 2}, {"result", 0}}));
  EXPECT_EQ(page.Read(), (json{{"id", 3}, {"result", ""}}));
}

// A connection that does not finish its handshake (here: half a request) is
// closed within a few seconds, and its slot serves another page.
TEST(BridgeLimits, AHandshakeNotFinishedInTimeIsClosed) {
  using Clock = std::chrono::steady_clock;
  BridgeConfig config;
  config.maxConnections = 1;
  Bridge bridge(config);
  net::io_context io;
  tcp::socket silent(io);
  silent.connect(tcp::endpoint(net::ip::address_v4::loopback(), bridge.server->Port()));
  net::write(silent, net::buffer(std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")));
  const auto start = Clock::now();
  char byte;
  std::optional<beast::error_code> closed;
  silent.async_read_some(net::buffer(&byte, 1),
                         [&closed](beast::error_code ec, size_t) { closed = ec; });
  io.run_for(std::chrono::seconds(20));
  ASSERT_TRUE(closed && *closed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(7));
  EXPECT_TRUE(APageConnectsWithin(bridge, std::chrono::seconds(2)));
}

// The bridge listens on both loopback addresses or not at all: another
// socket on [::1] at its port would receive the pages that name localhost.
TEST(BridgeListening, AnotherSocketOnIpv6LoopbackStopsTheStart) {
  net::io_context io;
  tcp::acceptor holder(io);
  beast::error_code ec;
  holder.open(tcp::v6(), ec);
  if (!ec) holder.set_option(net::ip::v6_only(true), ec);
  if (!ec) holder.bind(tcp::endpoint(net::ip::address_v6::loopback(), 0), ec);
  if (!ec) holder.listen(net::socket_base::max_listen_connections, ec);
  if (ec) GTEST_SKIP() << "no IPv6 loopback: " << ec.message();
  BridgeConfig config;
  config.port = holder.local_endpoint().port();
  BridgeServer held(config, [](const std::string&) {});
  std::string error;
  EXPECT_FALSE(held.Start(&error));
  EXPECT_NE(error.find("::1"), std::string::npos) << error;
}

}  // namespace
}  // namespace corvane::bridge
