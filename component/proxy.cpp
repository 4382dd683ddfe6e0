// Proxy discovery, the CONNECT tunnel request and its answer, and the
// script's own reads.
//
// Before every attempt the proxy settings are read from the source (the
// registry and WinHTTP on Windows, the environment elsewhere) for the
// attempt's own server, by the name the script gave: a failed read gives
// m_nProxyEnable -1 (direct), no proxy for that server 0, otherwise 1 with the
// HTTP proxy's "host:port" split at its first ':' into address and port (the
// decimal value of at most 10 characters after it). A per-protocol
// "ProxyServer" list gives its "http=" entry, else its entry without a scheme;
// a list with nothing for HTTP (only "socks=", say) means no proxy. An
// automatic configuration's list ("PROXY a; PROXY b; DIRECT") is tried in
// order: each failed attempt of a connection moves it to the next entry.
//
// Through a proxy with credentials the connection's first bytes are the
// CONNECT request (send/http_request.h builds it beside the GET request):
//   CONNECT host:port HTTP/1.1, the fixed header lines, the
//   Proxy-Authorization line, Host: host:port, Connection: Keep-Alive.
// It is sent whole whatever its length. The attempt then reads the proxy's
// answer itself, byte by byte up to the CR LF CR LF that ends its header, so
// not one byte the server sends after it is taken: "200" is the tunnel, and
// the server's traffic that follows goes to the connection's receive side as
// on a direct connection. Any other status (a 407 for wrong credentials, a
// 403 from a filter, a 502), a closed connection or no answer within the
// bound fails the attempt, with the status line in the debug trace; the body
// of a refusal (Content-Length) is read and dropped, and the socket closed.
// Without credentials nothing is sent and nothing is awaited.
#include <algorithm>
#include <cctype>
#include <chrono>

#include "component/component_methods.h"
#include "platform/proxy_rules.h"
#include "platform/secure_wipe.h"
#include "platform/trace.h"
#include "protocol/numbers.h"
#include "send/http_request.h"

namespace corvane {
namespace {

constexpr size_t kMaxAnswerHeader = 16384;
constexpr int64_t kMaxAnswerBody = 1 << 20;

// A status line as the trace shows it: printable ASCII only, bounded.
std::string TraceableStatus(std::string_view line) {
  std::string out;
  for (char c : line.substr(0, 200)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

// The Content-Length of a header block; -1 when it has none.
int64_t AnswerBodyLength(std::string_view header) {
  size_t pos = 0;
  while ((pos = header.find("\r\n", pos)) != std::string_view::npos) {
    pos += 2;
    std::string_view line = header.substr(pos, header.find("\r\n", pos) - pos);
    constexpr std::string_view kName = "content-length:";
    if (line.size() < kName.size()) continue;
    bool same = true;
    for (size_t i = 0; i < kName.size(); ++i)
      same = same && std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
    if (!same) continue;
    line.remove_prefix(kName.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    int64_t value = 0;
    size_t digits = 0;
    for (; digits < line.size() && digits < 18 && line[digits] >= '0' && line[digits] <= '9';
         ++digits)
      value = value * 10 + (line[digits] - '0');
    return digits == 0 ? -1 : value;
  }
  return -1;
}

}  // namespace

std::string CComponentMethods::InteractiveNameForProxy() const {
  // Once resolved, the member holds the address the name gave.
  if (!m_strInteractiveDotted.empty() && m_strInteractiveIp == m_strInteractiveDotted)
    return m_strInteractiveName;
  return m_strInteractiveIp;
}

int32_t CComponentMethods::ReadProxySettings(bool interactive) {
  ProxyAttempt& attempt = m_proxyAttempts[interactive ? 0 : 1];
  // A new opening: no tunnel request yet, and the attempt counts as failed
  // until it is connected.
  attempt.tunnelSent.store(false);
  const bool previousFailed = attempt.open.exchange(true);
  try {
    // A name the script set since the last resolution is the name from now on.
    if (m_strInteractiveDotted.empty() || m_strInteractiveIp != m_strInteractiveDotted) {
      m_strInteractiveName = m_strInteractiveIp;
      m_strInteractiveDotted.clear();
    }
    const std::string server = interactive ? m_strInteractiveName : m_strBcastIp;
    ProxySettings settings;
    const std::shared_ptr<ProxySettingsSource> source = m_proxySource;
    std::string proxy;
    if (!source || !source->Read(server, settings)) {
      m_nProxyEnable.store(-1);
    } else if (!settings.candidates.empty()) {
      std::string joined;
      for (const std::string& candidate : settings.candidates) joined += candidate + ";";
      if (joined != attempt.candidates) {
        attempt.candidates = joined;
        attempt.candidate.store(0);
      } else if (previousFailed) {
        attempt.candidate.fetch_add(1);
      }
      proxy = settings.candidates[attempt.candidate.load() % settings.candidates.size()];
      m_nProxyEnable.store(proxy.empty() ? 0 : 1);
    } else if (!settings.enabled) {
      m_nProxyEnable.store(0);
    } else {
      bool socksOnly = false;
      proxy = HttpProxyFromList(settings.server, &socksOnly);
      if (proxy.empty()) {
        DebugTrace(socksOnly
                       ? "ReadProxySettings - only a SOCKS proxy is set: connecting directly\n"
                       : "ReadProxySettings - no HTTP proxy in the list: connecting directly\n");
      }
      m_nProxyEnable.store(proxy.empty() ? 0 : 1);
    }
    if (m_nProxyEnable.load() == 1) {
      const ProxyServerParts parts = SplitProxyServer(proxy);
      m_strProxyIp = std::string(parts.address);
      m_nProxyPort.store(DecimalPrefix32(parts.portText));
      return 0;
    }
    // A direct attempt resolves the interactive name (for either connection):
    // resolve it here, once, so that the name stays known for the bypass
    // rules of later attempts while the member holds the address.
    if (m_nIPAddrFormatFlag.load() == 0 && m_strInteractiveDotted.empty()) {
      std::string dotted;
      if (net::ResolveIPv4(m_strInteractiveName, dotted)) {
        m_strInteractiveDotted = dotted;
        m_strInteractiveIp = dotted;
      }
    }
    return m_nProxyEnable.load() == -1 ? kResultFailed : 0;
  } catch (...) {
    m_nProxyEnable.store(-1);
    return kResultFailed;
  }
}

int32_t CComponentMethods::SendTunnelRequest(bool interactive) {
  // Only a proxy with credentials gets a tunnel request: the request always
  // carries the authorization line.
  if (m_nProxyEnable.load() != 1 || m_bProxyCredentials.load() == 0) return 0;
  // Each connection asks the proxy for its own server on its own socket.
  std::string request;
  if (interactive) {
    request = BuildConnectRequest(m_strInteractiveIp, m_nInteractivePort.load(), m_strProxyAuth);
  } else {
    request = BuildConnectRequest(m_strBcastIp, m_nBcastPort.load(), m_strProxyAuth);
  }
  // Once it went out, the proxy's answer is awaited (by the attempt, or by
  // the connection's receive side for the script's own SendConnect).
  const int32_t result = Pick(interactive).SendTunnelRequest(request);
  SecureWipe(request);  // it holds the credentials
  if (result == 0) m_proxyAttempts[interactive ? 0 : 1].tunnelSent.store(true);
  return result;
}

void CComponentMethods::WipeProxyCredentials() {
  SecureWipe(m_strProxyPwd);
  SecureWipe(m_strProxyAuth);
}

int32_t CComponentMethods::RequestProxyFlag() const {
  if (m_nProxyEnable.load() != 1) return 0;
  return m_proxyAttempts[0].tunnelSent.load() ? 0 : 1;
}

int32_t CComponentMethods::AwaitTunnelAnswer(bool interactive) {
  ProxyAttempt& attempt = m_proxyAttempts[interactive ? 0 : 1];
  try {
    if (m_nProxyEnable.load() != 1 || !attempt.tunnelSent.load()) {
      attempt.open.store(false);
      return 0;
    }
    Connection& connection = Pick(interactive);
    const SocketHandle socket = connection.Socket();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(0, m_nTunnelAnswerWaitMs.load()));
    // One read of at most length bytes once the socket has something, within
    // the bound: bytes read, 0 for the end of the stream, -1 otherwise.
    auto readSome = [&](char* buffer, int length) -> int {
      for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return -1;
        if (net::WaitReadable(socket, static_cast<int>(std::min<int64_t>(left, 100))) ==
            net::WaitResult::Failed)
          return -1;
        const int n = net::Recv(socket, buffer, length);
        if (n >= 0) return n;
        if (net::LastError() != net::kWouldBlock) return -1;
      }
    };
    // The header, one byte at a time: what follows it is the server's.
    std::string header;
    bool complete = false;
    while (header.size() < kMaxAnswerHeader) {
      char c = 0;
      if (readSome(&c, 1) != 1) break;
      header += c;
      if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0) {
        complete = true;
        break;
      }
    }
    const std::string_view statusLine = std::string_view(header).substr(0, header.find("\r\n"));
    const size_t space = statusLine.find(' ');
    const bool accepted = complete && statusLine.substr(0, 5) == "HTTP/" &&
                          space != std::string_view::npos &&
                          statusLine.substr(space + 1, 3) == "200" &&
                          (statusLine.size() == space + 4 || statusLine[space + 4] == ' ');
    if (accepted) {
      // The answer is taken: the receive side reads the server's traffic as
      // on a direct connection.
      connection.WithAssembler(
          [](CReceiveAssembler& assembler) { assembler.SetTunnelRequested(false); });
      attempt.open.store(false);
      return 0;
    }
    if (complete) {
      DebugTrace("ConnectSocket - the proxy refused the tunnel: %s\n",
                 TraceableStatus(statusLine).c_str());
      // A refusal's body (a 407's page) is read and dropped.
      int64_t body = std::min(AnswerBodyLength(header), kMaxAnswerBody);
      char sink[4096];
      while (body > 0) {
        const int n = readSome(sink, static_cast<int>(std::min<int64_t>(body, sizeof sink)));
        if (n <= 0) break;
        body -= n;
      }
    } else {
      DebugTrace("ConnectSocket - no answer from the proxy to the tunnel request\n");
    }
    connection.Close();
    return kResultFailed;
  } catch (...) {
    return kResultFailed;
  }
}

int32_t CComponentMethods::SendProxyConnect() {
  try {
    return SendTunnelRequest(true);
  } catch (...) {
    // The caller goes on without the tunnel (the next send finds the broken
    // connection), but the result says the request did not go out.
    return kResultFailed;
  }
}

HResult CComponentMethods::SendConnect(Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(0);
  try {
    if (SendTunnelRequest(true) != 0) {
      *pRetVal = Variant::Int(kResultSendFailed);
      return kHrSendFailed;
    }
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

HResult CComponentMethods::ReceiveData(Variant* pData) {
  if (pData == nullptr) return kE_POINTER;
  *pData = Variant::Str(std::string());
  try {
    // One read into the interactive receive buffer; the text ends at the
    // first zero byte.
    std::string text;
    int error = 0;
    const int n = m_interactive.ReceiveOnce(text, error);
    if (n > 0) {
      pData->text = std::move(text);
    } else if (n == 0) {
      // The peer has closed: the system's closed-peer marker, so a polling
      // script can tell it from "nothing yet".
      pData->text = "Socket Error: -3";
    } else if (error != net::kWouldBlock) {
      pData->text = "Socket Error: " + std::to_string(error);
    }
  } catch (...) {
  }
  return kS_OK;
}

}  // namespace corvane
