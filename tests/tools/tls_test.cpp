// TLS between `corvane session` and real TLS servers: stunnel4 in front of the
// plain sandbox back end, and the back end's own TLS. The certificates come
// from the openssl command (make-test-pki); the component trusts the test CA
// through SSL_CERT_FILE, set for its process only. Each failing case must fail
// the attempt and say why in the trace.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/socket.h"
#include "tests/component/tinyproxy.h"
#include "tests/platform/loopback_server.h"
#include "tests/tools/tool_process.h"
#include "tools/common/backend.h"

extern char** environ;

namespace corvane::tools {
namespace {

using testing::RunCommand;
using testing::ToolPath;

class Pki {
 public:
  Pki() {
    char dir[] = "/tmp/corvane-pki-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    m_dir = dir;
    ok = RunCommand(std::string(CORVANE_SOURCE_DIR) + "/tests/tools/make-test-pki " + m_dir)
             .status == 0;
  }
  ~Pki() {
    if (!m_dir.empty()) RunCommand("rm -rf " + m_dir);
  }
  std::string Path(const std::string& file) const { return m_dir + "/" + file; }
  // The pin of a key, computed by the openssl command.
  std::string PinOf(const std::string& key) const {
    const std::string out = RunCommand("openssl pkey -in " + Path(key + ".key") +
                                       " -pubout -outform DER | openssl dgst -sha256 -binary | "
                                       "base64")
                                .out;
    return "sha256/" + out.substr(0, out.find('\n'));
  }
  bool ok = false;

 private:
  std::string m_dir;
};

// stunnel4 in the foreground, terminating TLS for both ports of a back end.
class Stunnel {
 public:
  Stunnel(const Pki& pki, const std::string& certificate, int interactive, int broadcast) {
    interactivePort = test::RefusedPort();
    broadcastPort = test::RefusedPort();
    m_config = pki.Path("stunnel-" + std::to_string(interactivePort) + ".conf");
    std::ofstream(m_config) << "foreground = yes\npid =\ndebug = crit\n"
                            << "cert = " << pki.Path(certificate + ".pem") << "\n"
                            << "key = " << pki.Path(certificate + ".key") << "\n"
                            << "[interactive]\naccept = 127.0.0.1:" << interactivePort
                            << "\nconnect = 127.0.0.1:" << interactive << "\n"
                            << "[broadcast]\naccept = 127.0.0.1:" << broadcastPort
                            << "\nconnect = 127.0.0.1:" << broadcast << "\n";
    std::string binary = "/usr/bin/stunnel4";
    char* argv[] = {binary.data(), m_config.data(), nullptr};
    if (posix_spawn(&m_pid, binary.c_str(), nullptr, nullptr, argv, environ) != 0) m_pid = 0;
  }
  ~Stunnel() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
  }
  bool Ready() const {
    return m_pid > 0 && test::WaitUntil([&] {
             SocketHandle s = net::CreateTcpSocket();
             const bool ok = net::Connect(s, "127.0.0.1", broadcastPort);
             net::Close(s);
             return ok;
           });
  }
  int interactivePort = 0;
  int broadcastPort = 0;

 private:
  std::string m_config;
  pid_t m_pid = 0;
};

std::unique_ptr<SandboxBackend> FeedingBackend(Framing framing, const std::string& certificate,
                                               const Pki& pki) {
  BackendOptions o;
  o.framing = framing;
  o.feedStart = BackendOptions::FeedStart::kConnect;
  o.feedLogon = true;
  o.rate = 200;
  o.count = 10;
  if (!certificate.empty()) {
    o.tlsCertificate = pki.Path(certificate + ".pem");
    o.tlsKey = pki.Path(certificate + ".key");
  }
  auto backend = std::make_unique<SandboxBackend>(o);
  if (!backend->Start(nullptr)) return nullptr;
  return backend;
}

// corvane session with its trace: standard output and standard error together.
// A session that expects data runs until it has that many events (a slow
// machine takes longer, never fewer), one that expects none for 1.2 s.
std::string Session(const Pki& pki, const std::string& host, int interactive, int broadcast,
                    const std::string& options, const std::string& environment = "",
                    int untilData = 0) {
  const std::string run = untilData > 0
                              ? "--duration 30000 --until-data " + std::to_string(untilData)
                              : "--duration 1200";
  return RunCommand("env CORVANE_TRACE=1 SSL_CERT_FILE=" + pki.Path("ca.pem") + " " + environment +
                    " " + ToolPath("corvane/corvane") + " session --server " + host + ":" +
                    std::to_string(interactive) + " --broadcast " + host + ":" +
                    std::to_string(broadcast) + " --multi " + run + " " + options + " 2>&1")
      .out;
}

size_t Count(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/stunnel4", X_OK) != 0) GTEST_SKIP() << "stunnel4 is not installed";
    ASSERT_TRUE(pki.ok);
  }
  Pki pki;
};

TEST_F(TlsTest, LogonAndFeedThroughStunnelInEveryFraming) {
  const struct {
    Framing framing;
    const char* codecs;
  } cases[] = {{Framing::kPlain, "--compression off --encryption off"},
               {Framing::kCompressed, "--compression on --encryption off"},
               {Framing::kEncrypted, "--compression off --encryption on"},
               {Framing::kCompressedEncrypted, "--compression on --encryption on"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(FramingName(c.framing));
    auto backend = FeedingBackend(c.framing, "", pki);
    ASSERT_TRUE(backend);
    Stunnel stunnel(pki, "good", backend->InteractivePort(), backend->BroadcastPort());
    ASSERT_TRUE(stunnel.Ready());
    const std::string out =
        Session(pki, "localhost", stunnel.interactivePort, stunnel.broadcastPort,
                std::string("--tls ") + c.codecs, "", 10);
    EXPECT_EQ(Count(out, "\nconnect true"), 1u) << out;
    EXPECT_EQ(Count(out, "\nauthentication true|10000|"), 1u) << out;
    EXPECT_EQ(Count(out, "\ndata 35=X|"), 10u) << out;
    EXPECT_EQ(Count(out, "|CN=good|"), 2u) << out;  // both connections' security lines
  }
}

TEST_F(TlsTest, EachFailedVerificationFailsTheAttemptWithItsReason) {
  const std::string trustedPin = pki.PinOf("ca");
  const std::string otherPin = pki.PinOf("untrusted");
  const struct {
    const char* certificate;  // the server's; empty: a plain server
    const char* host;
    std::string options;
    const char* reason;  // empty: connects
  } cases[] = {
      {"good", "localhost", "--tls", ""},
      {"good", "127.0.0.1", "--tls", ""},  // an IP address against the IP names
      {"good", "localhost", "--tls --pin " + otherPin + " --pin " + trustedPin, ""},
      {"rogue", "localhost", "--tls", "unknown issuer"},
      {"other", "localhost", "--tls", "name mismatch"},
      {"expired", "localhost", "--tls", "expired"},
      {"future", "localhost", "--tls", "not yet valid"},
      {"good", "localhost", "--tls --pin " + otherPin, "pin mismatch"},
      {"", "localhost", "--tls", "protocol"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.certificate) + " " + c.host + " " + c.options);
    auto backend = FeedingBackend(Framing::kPlain, c.certificate, pki);
    ASSERT_TRUE(backend);
    const std::string out =
        Session(pki, c.host, backend->InteractivePort(), backend->BroadcastPort(),
                "--compression off --encryption off " + c.options, "", *c.reason ? 0 : 10);
    if (*c.reason == '\0') {
      EXPECT_EQ(Count(out, "\ndata 35=X|"), 10u) << out;
      continue;
    }
    EXPECT_EQ(Count(out, "failed: " + std::string(c.reason) + " ("), 2u) << out;
    EXPECT_EQ(Count(out, "\nconnection-failure 1"), 1u) << out;
    EXPECT_EQ(Count(out, "\nconnection-failure 2"), 1u) << out;
    EXPECT_EQ(Count(out, "\nconnect true"), 0u) << out;
    EXPECT_EQ(Count(out, "\ndata "), 0u) << out;
  }
}

TEST_F(TlsTest, APlainConnectionToATlsServerGetsNoLogon) {
  auto backend = FeedingBackend(Framing::kPlain, "good", pki);
  ASSERT_TRUE(backend);
  const std::string out = Session(pki, "localhost", backend->InteractivePort(),
                                  backend->BroadcastPort(), "--compression off --encryption off");
  EXPECT_EQ(Count(out, "\nauthentication"), 0u) << out;
  EXPECT_EQ(Count(out, "\ndata "), 0u) << out;
}

TEST_F(TlsTest, ThroughTheProxysTunnel) {
  if (access(test::Tinyproxy::kBinary, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
  test::Tinyproxy proxy("trader", "s3cret");
  ASSERT_TRUE(proxy.Ready());
  auto backend = FeedingBackend(Framing::kPlain, "good", pki);
  ASSERT_TRUE(backend);
  const std::string out = Session(
      pki, "localhost", backend->InteractivePort(), backend->BroadcastPort(),
      "--tls --compression off --encryption off --proxy-user trader --proxy-password s3cret",
      "http_proxy=http://127.0.0.1:" + std::to_string(proxy.Port()) + " no_proxy=", 10);
  EXPECT_EQ(Count(out, "\ndata 35=X|"), 10u) << out;
  EXPECT_EQ(Count(out, "|CN=good|"), 2u) << out;
}

TEST_F(TlsTest, ADropIsFollowedByAReconnectionOverTls) {
  BackendOptions o;
  o.framing = Framing::kPlain;
  o.feedStart = BackendOptions::FeedStart::kConnect;
  o.feedLogon = true;
  o.rate = 200;
  o.drops = {Drop::kClose};
  o.dropEvery = 5;
  o.dropInteractive = false;
  o.dropLimit = 1;
  o.tlsCertificate = pki.Path("good.pem");
  o.tlsKey = pki.Path("good.key");
  SandboxBackend backend(o);
  ASSERT_TRUE(backend.Start(nullptr));
  const std::string out =
      Session(pki, "localhost", backend.InteractivePort(), backend.BroadcastPort(),
              // Five messages, the drop, the new connection's logon answer
              // (a data event) and six more.
              "--tls --compression off --encryption off --reconnect-count 3", "", 12);
  EXPECT_EQ(backend.Stats().broadcastClients, 2) << out;
  EXPECT_EQ(Count(out, "\nbc-disconnect"), 1u) << out;
  EXPECT_GT(Count(out, "\ndata 35=X|"), 10u) << out;
}

TEST_F(TlsTest, TheAdministratorsPolicy) {
  auto secure = FeedingBackend(Framing::kPlain, "good", pki);
  auto plain = FeedingBackend(Framing::kPlain, "", pki);
  ASSERT_TRUE(secure && plain);
  const std::string codecs = "--compression off --encryption off";
  // A listed server is reached over TLS although the page did not ask.
  std::string out = Session(pki, "localhost", secure->InteractivePort(), secure->BroadcastPort(),
                            codecs, "CORVANE_TLS_SERVERS=*.example,LOCALHOST", 10);
  EXPECT_EQ(Count(out, "|CN=good|"), 2u) << out;
  EXPECT_EQ(Count(out, "\ndata 35=X|"), 10u) << out;
  // Plain connections refused: nothing reaches the plain server.
  out = Session(pki, "localhost", plain->InteractivePort(), plain->BroadcastPort(), codecs,
                "CORVANE_REFUSE_PLAIN=1");
  EXPECT_EQ(Count(out, "refused by the administrator's policy"), 2u) << out;
  EXPECT_EQ(plain->Stats().interactiveClients + plain->Stats().broadcastClients, 0) << out;
}

}  // namespace
}  // namespace corvane::tools

#endif  // !_WIN32
