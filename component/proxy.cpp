// Proxy discovery, the CONNECT tunnel request and the script's own reads.
//
// Before every attempt the proxy settings are read from the source (the
// registry on Windows, the environment elsewhere): a failed read gives
// m_nProxyEnable -1 (direct), a disabled proxy 0, otherwise 1 with the
// "ProxyServer" text split at its first ':' into address and port (the
// decimal value of at most 10 characters after it). The text may be of any
// length.
//
// Through a proxy with credentials the connection's first bytes are the
// CONNECT request (send/http_request.h builds it beside the GET request):
//   CONNECT host:port HTTP/1.1, the fixed header lines, the
//   Proxy-Authorization line, Host: host:port, Connection: Keep-Alive.
// It is sent whole whatever its length. The proxy's answer is recognised by
// the receive path, not here, and only on a connection whose request went out.
// Without credentials nothing is sent and nothing is awaited.
#include "component/component_methods.h"
#include "protocol/numbers.h"
#include "send/http_request.h"

namespace corvane {

int32_t CComponentMethods::ReadProxySettings() {
  try {
    ProxySettings settings;
    const std::shared_ptr<ProxySettingsSource> source = m_proxySource;
    if (!source || !source->Read(m_strInteractiveIp, settings)) {
      m_nProxyEnable.store(-1);
      return kResultFailed;
    }
    if (!settings.enabled) {
      m_nProxyEnable.store(0);
      return 0;
    }
    const ProxyServerParts parts = SplitProxyServer(settings.server);
    m_strProxyIp = std::string(parts.address);
    m_nProxyPort.store(DecimalPrefix32(parts.portText));
    m_nProxyEnable.store(1);
    return 0;
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
  // Once it went out, the connection's receive side awaits the proxy's answer.
  return Pick(interactive).SendTunnelRequest(request);
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
