// Request sending on the interactive connection.
//
// sendRequest switches both codec flags off on every call (requests always go
// out plain, and received traffic is then read as plain too), builds the HTTP
// GET request that carries the message and sends it whole. A failed send is
// how the component learns that the interactive connection is gone: it fires
// "false" on handleDisConnect, closes the connection and runs the interactive
// connection sequence again inside the same call; the script still receives
// the send's -3. sendBCRequest sends nothing.
//
// The interactive Connection sends the request whole: it keeps sending after
// partial sends and waits for writability when the socket would block, at most
// 2 s each time; a socket that accepts nothing for that long is treated as
// broken (-3).
#include "component/component_methods.h"
#include "send/http_request.h"

namespace corvane {

std::string CComponentMethods::BuildRequest(const Variant& vRequest) {
  const Variant& request = vRequest.Deref();
  if (request.vt != kVtBstr) return std::string();
  // The message ends at its first zero character.
  const std::string_view text(request.text.data(), request.text.find('\0') == std::string::npos
                                                       ? request.text.size()
                                                       : request.text.find('\0'));
  std::string host;
  {
    // A broadcast attempt may be resolving the name at this moment.
    std::lock_guard<std::mutex> attempt(m_attemptMutex);
    host = m_strInteractiveIp;
  }
  return BuildHttpRequest(host, text, m_nProxyEnable.load(), m_bProxyCredentials.load() != 0,
                          m_strProxyAuth);
}

int32_t CComponentMethods::SendBuffer(const char* buffer, int32_t length) {
  try {
    return m_interactive.SendWhole(buffer, length);
  } catch (...) {
    return kResultFailed;
  }
}

HResult CComponentMethods::sendRequest(const Variant& vRequest, Variant* pRetVal) {
  // Before anything else, also for a rejected argument.
  m_bCompression.store(0);
  m_bEncryption.store(0);
  if (pRetVal == nullptr) return kE_POINTER;
  try {
    *pRetVal = Variant::Int(0);
    if (vRequest.Type() != kVtBstr) {
      *pRetVal = Variant::Int(kResultFailed);
      return kS_OK;
    }
    Reconnector::OwnerScope scope(m_interactiveWorker);
    const std::string request = BuildRequest(vRequest);
    // Never sent on a connection already found lost.
    const int32_t result = m_interactive.Lost()
                               ? kResultSendFailed
                               : SendBuffer(request.data(), static_cast<int32_t>(request.size()));
    *pRetVal = Variant::Int(result);
    if (result == 0) {
      m_nRequestCount.fetch_add(1);
      return kS_OK;
    }
    // The connection is gone (or was never made): close it, report it and
    // connect again now. The request is not sent again. The reader ends
    // first, so whether it has already queued this drop's "false" is known:
    // then that one is delivered (with what came before it), not a second.
    CloseConnection(true);
    m_interactiveWorker.DropTrigger();
    const bool queued = m_bDropQueued[0].exchange(0) != 0;
    DeliverQueuedConnectionEvents();
    if (!queued) FireCallback(m_pHandleDisConnect, kEventFalse);
    // No reader is left: if the attempts run out, nothing reads.
    m_interactive.SetReading(false);
    m_interactive.SetConnectPending(true);
    ConnectInteractive();
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

HResult CComponentMethods::sendBCRequest(const Variant& vRequest, Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  try {
    if (m_bMultiOC.load() == 0) {
      // Counted as a request; the result keeps the caller's value, typed VT_INT.
      const int32_t previous = pRetVal->intValue;
      *pRetVal = Variant::Int(previous);
      m_nRequestCount.fetch_add(1);
      return kS_OK;
    }
    *pRetVal = Variant::Int(vRequest.Type() == kVtBstr ? 0 : -1);
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

}  // namespace corvane
