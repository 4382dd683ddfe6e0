// The TLS engine against a real peer: scripts/tls-peer (OpenSSL) on loopback,
// whose folder CORVANE_TLS_PEER names (the ctest fixture tls_peer starts it,
// natively and for the Windows build). The peer's CA is trusted for the run only: in the
// Root store of the test's private Wine prefix on Windows, through
// SSL_CERT_FILE on POSIX. Without the variable the tests are skipped.
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/socket.h"

#ifdef _WIN32
// wincrypt.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on
#endif

namespace corvane::test {
namespace {

std::string PeerFolder() {
  const char* folder = std::getenv("CORVANE_TLS_PEER");
  if (folder == nullptr) return std::string();
#ifdef _WIN32
  // A Unix path, through Wine's drive Z: (the root of the host's files).
  if (folder[0] == '/') return std::string("Z:") + folder;
#endif
  return folder;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string folder = PeerFolder();
    if (folder.empty()) return;
    std::istringstream ports(ReadFile(folder + "/tls.ports"));
    std::string name;
    int port = 0;
    while (ports >> name >> port) s_ports[name] = port;
    std::istringstream pins(ReadFile(folder + "/pins"));
    pins >> s_leafPin >> s_caPin;
#ifdef _WIN32
    const std::string der = ReadFile(folder + "/ca.der");
    s_ca =
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                     static_cast<DWORD>(der.size()));
    if (s_ca != nullptr && !ChangeRoot(true)) {
      CertFreeCertificateContext(s_ca);
      s_ca = nullptr;
    }
#else
    setenv("SSL_CERT_FILE", (folder + "/ca.pem").c_str(), 1);
#endif
  }

  static void TearDownTestSuite() {
#ifdef _WIN32
    // The prefix outlives the test: the CA goes with it.
    if (s_ca != nullptr) ChangeRoot(false);
    CertFreeCertificateContext(s_ca);
    s_ca = nullptr;
#endif
  }

#ifdef _WIN32
  // Adds the CA to the machine's Root store, or takes it out. The store is
  // the registry's, written when closed: only then do chains see the change.
  static bool ChangeRoot(bool add) {
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (root == nullptr) return false;
    bool done = false;
    if (add) {
      done = CertAddCertificateContextToStore(root, s_ca, CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr) != FALSE;
    } else if (PCCERT_CONTEXT found = CertFindCertificateInStore(
                   root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, s_ca, nullptr)) {
      done = CertDeleteCertificateFromStore(found) != FALSE;
    }
    return CertCloseStore(root, 0) != FALSE && done;
  }
#endif

  void SetUp() override {
    if (PeerFolder().empty()) GTEST_SKIP() << "no TLS peer (CORVANE_TLS_PEER)";
    ASSERT_EQ(s_ports.size(), 4u);
#ifdef _WIN32
    ASSERT_NE(s_ca, nullptr) << "the peer's CA is not in the Root store";
#endif
    ASSERT_TRUE(net::Startup());
  }
  void TearDown() override {
    if (m_socket != 0) net::Close(m_socket);
    net::Cleanup();
  }

  // Connects to the peer's port and runs the handshake to its end.
  tls::Status Handshake(const std::string& port, const tls::ClientConfig& config) {
    m_session = tls::StartClient(config);
    if (m_session == nullptr) return tls::Status::Failed;
    m_socket = net::CreateTcpSocket();
    if (!net::Connect(m_socket, "127.0.0.1", s_ports[port])) return tls::Status::Failed;
    std::string in;
    for (;;) {
      std::string out;
      const tls::Status status = m_session->Handshake(in, out);
      if (!Send(out)) return tls::Status::Failed;
      if (status != tls::Status::Continue) return status;
      in = Receive();
      if (in.empty()) return tls::Status::Failed;
    }
  }

  bool Send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      const int n = net::Send(m_socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  std::string Receive() {
    char buffer[4096];
    const int n = net::Recv(m_socket, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

  // Sends plain and reads until `expected` bytes came back or the stream
  // ended; the status of the last Decrypt.
  tls::Status Exchange(const std::string& plain, size_t expected, std::string& echoed) {
    std::string out;
    if (!m_session->Encrypt(plain, out) || !Send(out)) return tls::Status::Failed;
    tls::Status status = tls::Status::Continue;
    while (status == tls::Status::Continue && echoed.size() < expected) {
      const std::string in = Receive();
      if (in.empty()) return tls::Status::Failed;
      std::string reply;
      status = m_session->Decrypt(in, echoed, reply);
      if (!Send(reply)) return tls::Status::Failed;
    }
    return status;
  }

  static inline std::map<std::string, int> s_ports;
  static inline std::string s_leafPin, s_caPin;
#ifdef _WIN32
  static inline PCCERT_CONTEXT s_ca = nullptr;
#endif
  std::unique_ptr<tls::ClientSession> m_session;
  SocketHandle m_socket = 0;
};

TEST_F(TlsTest, DataGoesBothWaysAndTheServersCloseEndsTheStream) {
  for (const char* port : {"good", "tls12"}) {
    SCOPED_TRACE(port);
    ASSERT_EQ(Handshake(port, {"localhost", {}}), tls::Status::Done) << m_session->ErrorText();
    const tls::Negotiated negotiated = m_session->Parameters();
    // Wine's Schannel has no TLS 1.3; Windows 11 and OpenSSL do.
    if (std::string(port) == "tls12")
      EXPECT_EQ(negotiated.protocol, "TLSv1.2");
    else
      EXPECT_TRUE(negotiated.protocol == "TLSv1.3" || negotiated.protocol == "TLSv1.2");
    EXPECT_FALSE(negotiated.cipher.empty());
    EXPECT_EQ(negotiated.subject.substr(0, 23), "CN=localhost, O=Corvane");
    EXPECT_EQ(negotiated.notAfter.size(), 20u);
    // More than one record each way.
    std::string plain(40000, 'x');
    std::string echoed;
    EXPECT_EQ(Exchange(plain, plain.size(), echoed), tls::Status::Continue);
    EXPECT_EQ(echoed, std::string(40000, 'X'));
    // "bye": the peer echoes it and sends close_notify.
    echoed.clear();
    EXPECT_EQ(Exchange("bye\n", 100, echoed), tls::Status::Closed);
    EXPECT_EQ(echoed, "BYE\n");
    net::Close(m_socket);
    m_socket = 0;
  }
}

TEST_F(TlsTest, EachFaultOfTheServerIsNamed) {
  const struct {
    const char* port;
    std::string name;
    std::vector<std::string> pins;
    tls::Failure failure;
  } cases[] = {
      {"stranger", "localhost", {}, tls::Failure::UnknownIssuer},
      {"good", "wrong.localhost", {}, tls::Failure::NameMismatch},
      {"expired", "localhost", {}, tls::Failure::Expired},
      {"good",
       "localhost",
       {"sha256/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="},
       tls::Failure::PinMismatch},
      {"good",
       "localhost",
       {"sha256/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", s_leafPin},
       tls::Failure::None},
      {"good", "localhost", {s_caPin}, tls::Failure::None},
      {"good", "127.0.0.1", {}, tls::Failure::None},
      {"good", "127.0.0.2", {}, tls::Failure::NameMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.port) + " as " + c.name);
    const tls::Status status = Handshake(c.port, {c.name, c.pins});
    ASSERT_NE(m_session, nullptr);
    EXPECT_EQ(m_session->Error(), c.failure) << m_session->ErrorText();
    EXPECT_EQ(status, c.failure == tls::Failure::None ? tls::Status::Done : tls::Status::Failed);
    if (c.failure != tls::Failure::None) {
      EXPECT_FALSE(m_session->ErrorText().empty());
      std::string out;
      EXPECT_FALSE(m_session->Encrypt("x", out));
    }
    net::Close(m_socket);
    m_socket = 0;
  }
}

TEST_F(TlsTest, AClosedSessionSendsCloseNotify) {
  // TLS 1.2, whose alert records show their type.
  ASSERT_EQ(Handshake("tls12", {"localhost", {}}), tls::Status::Done);
  std::string out;
  m_session->Close(out);
  // An alert record: content type 21.
  ASSERT_GE(out.size(), 5u);
  EXPECT_EQ(out[0], 21);
  std::string more;
  EXPECT_FALSE(m_session->Encrypt("x", more));
}

}  // namespace
}  // namespace corvane::test
