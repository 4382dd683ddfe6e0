// corvane-bridge-echo: a plain WebSocket echo server on 127.0.0.1, the
// reference the bridge benchmark measures a page against. Every text frame is
// sent back as it came, one write at a time, as the bridge writes its frames.
// Prints "listening PORT" once listening; runs until SIGINT or SIGTERM. It
// checks no origin: a benchmark tool on loopback, never a service.
#include <signal.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <memory>
#include <thread>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

class Echo : public std::enable_shared_from_this<Echo> {
 public:
  explicit Echo(tcp::socket socket) : m_ws(std::move(socket)) {}
  void Start() {
    m_ws.async_accept([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->Read();
    });
  }

 private:
  void Read() {
    m_ws.async_read(m_buffer, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return;
      self->m_ws.text(self->m_ws.got_text());
      self->m_ws.async_write(self->m_buffer.data(), [self](beast::error_code e, size_t) {
        if (e) return;
        self->m_buffer.consume(self->m_buffer.size());
        self->Read();
      });
    });
  }

  websocket::stream<beast::tcp_stream> m_ws;
  beast::flat_buffer m_buffer;
};

void Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept([&acceptor](beast::error_code ec, tcp::socket socket) {
    if (ec) return;
    std::make_shared<Echo>(std::move(socket))->Start();
    Accept(acceptor);
  });
}

}  // namespace

int main() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  net::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  std::printf("listening %u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
  std::fflush(stdout);
  Accept(acceptor);
  std::thread runner([&context] { context.run(); });
  int signal = 0;
  sigwait(&signals, &signal);
  context.stop();
  runner.join();
  return 0;
}
