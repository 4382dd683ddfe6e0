// Keep-alive finds a vanished peer. The test makes a network namespace and a
// veth pair, runs a listener inside the namespace, connects the component's
// two connections to it, then takes the namespace's end of the link down:
// from then on the server's packets are dropped without FIN or RST, and only
// TCP keep-alive can tell. handleBCDisConnect "false" must arrive (the
// keep-alive interval of 1 s tightens the budget to about 3 s). Linux only,
// as root with a working `ip netns`; otherwise skipped. The namespace (and
// with it the veth pair) is deleted whatever happens.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/component/fixture.h"

namespace corvane::test {
namespace {

using Clock = std::chrono::steady_clock;

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The namespace with one veth pair: host end HOST_IP/30, namespace end
// PEER_IP/30. Names and the subnet come from the process id, so parallel
// runs do not meet.
class Namespace {
 public:
  Namespace() {
    const int id = static_cast<int>(getpid() % 200) + 20;
    m_name = "corvane-ka-" + std::to_string(getpid());
    m_hostLink = "cvka" + std::to_string(getpid() % 100000) + "h";
    m_peerLink = "cvka" + std::to_string(getpid() % 100000) + "n";
    const std::string net = "10.213." + std::to_string(id) + ".";
    m_hostIp = net + "1";
    m_peerIp = net + "2";
    m_ready = Shell("ip netns add " + m_name) &&
              Shell("ip link add " + m_hostLink + " type veth peer name " + m_peerLink + " netns " +
                    m_name) &&
              Shell("ip addr add " + m_hostIp + "/30 dev " + m_hostLink) &&
              Shell("ip link set " + m_hostLink + " up") &&
              Shell(Exec("ip addr add " + m_peerIp + "/30 dev " + m_peerLink)) &&
              Shell(Exec("ip link set " + m_peerLink + " up")) && Shell(Exec("ip link set lo up"));
  }
  ~Namespace() {
    // Deleting the namespace deletes the veth pair with it.
    Shell("ip netns del " + m_name);
    Shell("ip link del " + m_hostLink);
  }
  bool Ready() const { return m_ready; }
  std::string Exec(const std::string& command) const {
    return "ip netns exec " + m_name + " " + command;
  }
  // Drops everything from now on: no FIN, no RST.
  bool CutLink() const { return Shell(Exec("ip link set " + m_peerLink + " down")); }
  const std::string& PeerIp() const { return m_peerIp; }
  std::string Path() const { return "/var/run/netns/" + m_name; }

 private:
  std::string m_name, m_hostLink, m_peerLink, m_hostIp, m_peerIp;
  bool m_ready = false;
};

// A listener made inside the namespace (on a thread that joins it), which
// accepts and keeps every connection open and silent.
class SilentServer {
 public:
  explicit SilentServer(const Namespace& ns) {
    std::promise<SocketHandle> made;
    auto future = made.get_future();
    std::thread([&made, path = ns.Path(), ip = ns.PeerIp()] {
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      SocketHandle listener = 0;
      if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) listener = net::Listen(ip, 0);
      if (fd >= 0) close(fd);
      made.set_value(listener);
    }).join();
    m_listener = future.get();
    m_port = net::LocalPort(m_listener);
    if (m_listener != 0) m_acceptor = std::thread([this] { Accept(); });
  }
  ~SilentServer() {
    m_stop.store(true);
    if (m_acceptor.joinable()) m_acceptor.join();
    for (SocketHandle s : m_accepted) net::Close(s);
    net::Close(m_listener);
  }
  int32_t Port() const { return m_port; }
  size_t Accepted() const { return m_count.load(); }

 private:
  void Accept() {
    while (!m_stop.load()) {
      if (net::WaitReadable(m_listener, 20) != net::WaitResult::Ready) continue;
      const SocketHandle s = net::Accept(m_listener);
      if (s == 0) continue;
      m_accepted.push_back(s);
      m_count.store(m_accepted.size());
    }
  }
  SocketHandle m_listener = 0;
  int32_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<size_t> m_count{0};
  std::vector<SocketHandle> m_accepted;  // the acceptor's until joined
  std::thread m_acceptor;
};

TEST(KeepAliveNamespace, AVanishedBroadcastPeerIsReported) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  if (!Shell("ip netns list")) GTEST_SKIP() << "ip netns is not available";
  Namespace ns;
  if (!ns.Ready()) GTEST_SKIP() << "could not make the namespace and veth pair";
  net::Startup();
  {
    SilentServer server(ns);
    ASSERT_NE(server.Port(), 0);
    EventLog log;
    auto c = MakeComponent(log, ComponentOptions().Multi());
    ASSERT_TRUE(c);
    // A silent peer: a reconnection into the cut link must not delay release.
    c->GetSession().Core().SetReconnectPolicy(BackoffPolicy{200, 800, 10000});
    c->setKeepAliveTimerDetail(Variant::I4(1000));
    const std::string port = std::to_string(server.Port());
    c->setOCDetails(Variant::Str(ns.PeerIp()), Variant::Str(port), Variant::Str(ns.PeerIp()),
                    Variant::Str(port), Variant::Str(""), Variant::Str(""));
    ASSERT_EQ(log.Events(), (std::vector<std::string>{"connect true", "connect true"}));
    ASSERT_TRUE(WaitUntil([&] { return server.Accepted() == 2; }));
    log.Clear();

    ASSERT_TRUE(ns.CutLink());
    // Bounded only against a hang; the budget is about 3 s.
    EXPECT_TRUE(WaitUntil(
        [&] {
          c->PumpEvents();
          return log.Count("bcdisconnect false") == 1;
        },
        30000));
    EXPECT_TRUE(WaitUntil(
        [&] {
          c->PumpEvents();
          return log.Count("disconnect false") == 1;
        },
        30000));
    // The workers now try to connect into the cut link; release gives that
    // up at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const auto start = Clock::now();
    c.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
  net::Cleanup();
}

}  // namespace
}  // namespace corvane::test
#endif
