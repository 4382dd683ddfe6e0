// The platform socket layer against real loopback peers: Winsock error codes
// on every platform, handle 0 as "none", readiness waits, inet_addr parsing
// and name resolution.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/connection/loopback.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace corvane::test {
namespace {

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(net::Startup()); }
  void TearDown() override { net::Cleanup(); }

  // A connected, non-blocking client socket to the server.
  SocketHandle ConnectedClient(LoopbackServer& server) {
    SocketHandle s = net::CreateTcpSocket();
    EXPECT_NE(s, 0u);
    EXPECT_TRUE(net::Connect(s, "127.0.0.1", server.Port()));
    EXPECT_TRUE(net::SetNonBlocking(s));
    EXPECT_TRUE(server.WaitForConnections(1));
    return s;
  }
};

TEST_F(SocketTest, DataBothWaysAndEndOfStream) {
  LoopbackServer server;
  SocketHandle s = ConnectedClient(server);
  ASSERT_EQ(net::Send(s, "ping", 4), 4);
  ASSERT_TRUE(server.WaitForReceived(0, 4));
  EXPECT_EQ(server.Received(0), "ping");

  ASSERT_TRUE(server.Send(0, "pong"));
  ASSERT_EQ(net::WaitReadable(s, 10000), net::WaitResult::Ready);
  char buffer[16] = {};
  ASSERT_EQ(net::Recv(s, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "pong");

  server.Close(0);
  ASSERT_EQ(net::WaitReadable(s, 10000), net::WaitResult::Ready);
  EXPECT_EQ(net::Recv(s, buffer, sizeof buffer), 0);
  net::Close(s);
}

TEST_F(SocketTest, IdleNonBlockingSocketWouldBlockAndWaitTimesOut) {
  LoopbackServer server;
  SocketHandle s = ConnectedClient(server);
  char buffer[16];
  EXPECT_EQ(net::Recv(s, buffer, sizeof buffer), -1);
  EXPECT_EQ(net::LastError(), net::kWouldBlock);
  EXPECT_EQ(net::WaitReadable(s, 20), net::WaitResult::TimedOut);
  EXPECT_EQ(net::WaitWritable(s, 1000), net::WaitResult::Ready);
  net::Close(s);
}

TEST_F(SocketTest, ConnectToClosedPortIsRefused) {
  SocketHandle s = net::CreateTcpSocket();
  ASSERT_NE(s, 0u);
  EXPECT_FALSE(net::Connect(s, "127.0.0.1", RefusedPort()));
  EXPECT_EQ(net::LastError(), net::kRefused);
  net::Close(s);
}

TEST_F(SocketTest, HandleZeroIsNoSocket) {
  char buffer[4];
  EXPECT_EQ(net::Send(0, "x", 1), -1);
  EXPECT_EQ(net::LastError(), net::kNotSocket);
  EXPECT_EQ(net::Recv(0, buffer, sizeof buffer), -1);
  EXPECT_EQ(net::LastError(), net::kNotSocket);
  EXPECT_EQ(net::WaitReadable(0, 0), net::WaitResult::Failed);
  EXPECT_FALSE(net::Connect(0, "127.0.0.1", 1));
  net::Close(0);  // ignored
}

// Addresses are parsed as inet_addr parses them; only the low 16 bits of the
// port count.
TEST_F(SocketTest, AddressAndPortForms) {
  LoopbackServer server;
  struct Case {
    std::string address;
    int32_t port;
  } cases[] = {
      {"127.0.0.1", server.Port()},           {"127.1", server.Port()},  // short form
      {"0x7f.0.0.1", server.Port()},                                     // hexadecimal part
      {"127.0.0.1", server.Port() + 0x10000},                            // high bits dropped
      {"127.0.0.1", server.Port() - 0x10000},                            // negative, same low bits
  };
  size_t connections = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address + ":" + std::to_string(c.port));
    SocketHandle s = net::CreateTcpSocket();
    ASSERT_NE(s, 0u);
    EXPECT_TRUE(net::Connect(s, c.address, c.port));
    EXPECT_TRUE(server.WaitForConnections(++connections));
    net::Close(s);
  }
}

TEST_F(SocketTest, ResolveIPv4) {
  struct Case {
    std::string name;
    bool found;
    std::string dotted;
  } cases[] = {
      {"127.0.0.1", true, "127.0.0.1"},
      {"localhost", true, "127.0.0.1"},
#ifndef _WIN32
      // Fails without asking a name server (Windows takes it as this host).
      {"", false, ""},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dotted = "unchanged";
    EXPECT_EQ(net::ResolveIPv4(c.name, dotted), c.found);
    if (c.found) {
      EXPECT_EQ(dotted, c.dotted);
    }
  }
}

#ifndef _WIN32
// Descriptor 0 would read as "no socket": a socket that lands there is moved.
TEST_F(SocketTest, NeverHandsOutDescriptorZero) {
  int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  close(0);
  SocketHandle s = net::CreateTcpSocket();
  int zeroStillFree = fcntl(0, F_GETFD);
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_NE(s, 0u);
  EXPECT_EQ(zeroStillFree, -1);
  net::Close(s);
}
#endif

}  // namespace
}  // namespace corvane::test
