// Server endpoints, single connection attempts and the connection sequences.
//
// SetServerDetails and setOCDetails store the endpoints and connect at once,
// on the calling (host) thread: the interactive sequence makes up to N + 1
// attempts back to back (N = m_nSocketReconnCount), firing "1" on every
// failure and "1" on the maximum event when all fail; the broadcast pass makes
// one attempt and fires "2" on failure. A successful attempt fires "true",
// sets the connection's reading flag and starts its reader. Every event is
// fired synchronously, before the method returns. These sequences are the
// script's: each takes its connection from the reconnection worker first
// (reconnect.cpp has the worker and the ordering of its queued events with
// these synchronous ones).
//
// One attempt: start the socket layer, read the proxy settings, resolve names
// unless addresses are dotted, then open the Connection on the chosen endpoint
// (it replaces its socket after ending and joining its reader, so a descriptor
// is never closed under a reader; SO_RCVBUF, TCP keep-alive timed from the
// keep-alive interval, blocking connect, then non-blocking mode); through a
// proxy with credentials the CONNECT request follows. An attempt holds
// m_attemptMutex throughout: the two connections' workers and the owner may
// attempt at once, and all read (and resolution rewrites) the same strings.
//
// ConnectToServer replaces the interactive socket; when that connection was
// being read, reading goes on from the new socket, and when the new attempt
// fails, reading ends (no reader is left on an unconnected socket).
#include "component/component_methods.h"
#include "protocol/numbers.h"

namespace corvane {

int32_t CComponentMethods::PortArgument(const Variant& value) {
  const Variant& v = value.Deref();
  if (v.vt == kVtBstr) return DecimalPrefix32(v.text);
  return value.Int32();
}

// The interactive connection sequence, then the broadcast pass when the
// broadcast connection is used; both run to their end before this returns.
void CComponentMethods::ConnectBoth() {
  // The caller holds both connections (OwnerScope). The readers of the
  // connections about to be made again end first, so a drop they find is
  // queued before, not after, this call's events; what a reader or worker
  // queued is then seen first, and their requests to reconnect are moot.
  if (m_nSocketReconnCount.load() >= 0) {
    m_interactive.StopReader();
    m_interactiveWorker.DropTrigger();
    m_bDropQueued[0].store(0);
    if (m_bMultiOC.load() != 0) {
      m_bcast.StopReader();
      m_bcastWorker.DropTrigger();
      m_bDropQueued[1].store(0);
    }
  }
  DeliverQueuedConnectionEvents();
  m_interactive.SetConnectPending(true);
  ConnectInteractive();
  if (m_bMultiOC.load() != 0) {
    m_bcast.SetConnectPending(true);
    ConnectBroadcast();
  }
}

HResult CComponentMethods::SetServerDetails(const Variant& vIpAddr, const Variant& vInteractivePort,
                                            const Variant& vBcastPort,
                                            const Variant& vIPAddrFormatFlag, Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(0);
  if (vIpAddr.Type() != kVtBstr || vInteractivePort.Type() == kVtInt) {
    *pRetVal = Variant::Int(kResultFailed);
    return kS_OK;
  }
  try {
    Reconnector::OwnerScope holdInteractive(m_interactiveWorker);
    Reconnector::OwnerScope holdBcast(m_bcastWorker);
    std::unique_lock<std::mutex> attempt(m_attemptMutex);
    m_nIPAddrFormatFlag.store(vIPAddrFormatFlag.Int32() == 1 ? 1 : 0);
    m_strInteractiveIp = vIpAddr.Deref().text;
    m_nInteractivePort.store(PortArgument(vInteractivePort));
    // Broadcast port: every real port (1..65535) is taken. Other values keep
    // the rule of the low 16 bits as a signed number: positive takes the
    // value, 0 clears the port, negative leaves it as it was.
    const int32_t bcast = PortArgument(vBcastPort);
    const auto low = static_cast<int16_t>(static_cast<uint16_t>(bcast & 0xFFFF));
    if ((bcast >= 1 && bcast <= 65535) || low > 0) {
      m_nBcastPort.store(bcast);
    } else if (low == 0) {
      m_nBcastPort.store(0);
    }
    *pRetVal = Variant::Int(0);
    attempt.unlock();
    ConnectBoth();
  } catch (...) {
    // The result already written stands.
  }
  return kS_OK;
}

HResult CComponentMethods::setOCDetails(const Variant& vInteractiveIp,
                                        const Variant& vInteractivePort, const Variant& vBcastIp,
                                        const Variant& vBcastPort, const Variant& /*vPolicyIp*/,
                                        const Variant& /*vPolicyPort*/) {
  if (vInteractiveIp.Type() != kVtBstr || vInteractivePort.Type() == kVtInt) return kS_OK;
  try {
    Reconnector::OwnerScope holdInteractive(m_interactiveWorker);
    Reconnector::OwnerScope holdBcast(m_bcastWorker);
    {
      std::lock_guard<std::mutex> attempt(m_attemptMutex);
      m_strInteractiveIp = vInteractiveIp.Deref().text;
      m_strBcastIp = vBcastIp.Type() == kVtBstr ? vBcastIp.Deref().text : std::string();
      m_nInteractivePort.store(PortArgument(vInteractivePort));
      m_nBcastPort.store(PortArgument(vBcastPort));
    }
    ConnectBoth();
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::ConnectToServer(Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(0);
  try {
    Reconnector::OwnerScope scope(m_interactiveWorker);
    // In the two-connection set-up the connections are made by
    // SetServerDetails and setOCDetails.
    if (m_nBcastPort.load() != 0) return kS_OK;
    int32_t opened = kResultFailed;
    {
      std::lock_guard<std::mutex> attempt(m_attemptMutex);
      opened = OpenConnection(true);
    }
    // OpenConnection ended the interactive reader before it replaced the
    // socket. A connection that was being read is read on, now from the new
    // socket; after a failed attempt there is nothing to read and reading
    // ends. Without a connection sequence before, the script reads for
    // itself with ReceiveData and no reader is started.
    if (opened != 0) {
      *pRetVal = Variant::Int(kResultFailed);
      m_interactive.SetReading(false);
    } else if (m_interactive.Reading()) {
      NoteConnected(true);
      StartInteractiveReader(100);
    }
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

int32_t CComponentMethods::ResolveHostName(int which) {
  try {
    if (which != 0 && which != 1) return kResultFailed;
    std::string& name = which == 0 ? m_strInteractiveIp : m_strProxyIp;
    std::string dotted;
    if (!net::ResolveIPv4(name, dotted)) return kResultFailed;
    // Written only when it changes: the owner reads these strings outside
    // attempts (BuildRequest copies under the attempt lock).
    if (name != dotted) name = dotted;
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

int32_t CComponentMethods::OpenConnection(bool interactive, const Reconnector* worker) {
  if (!net::Startup()) return kResultFailed;
  ++m_nSocketStartups;
  ReadProxySettings();

  std::string host;
  int32_t port = 0;
  const bool resolve = m_nIPAddrFormatFlag.load() == 0;
  if (m_nProxyEnable.load() == 1) {
    if (resolve && ResolveHostName(1) != 0) return kResultFailed;
    host = m_strProxyIp;
    port = m_nProxyPort.load();
  } else {
    // The interactive name is resolved for either connection; the broadcast
    // address is used as given and must be dotted.
    if (resolve && ResolveHostName(0) != 0) return kResultFailed;
    if (interactive) {
      host = m_strInteractiveIp;
      port = m_nInteractivePort.load();
    } else {
      host = m_strBcastIp;
      port = m_nBcastPort.load();
    }
  }
  // The new socket replaces the connection's previous one (whose reader
  // ends before that socket is closed) and has sent no tunnel request yet.
  Connection& connection = Pick(interactive);
  connection.SetKeepAliveTiming(KeepAliveTimingFor(m_nKeepAliveInterval.load()));
  if (worker == nullptr) return connection.Open(host, port);
  // A worker's connect is given up as soon as its run is cancelled, so
  // release and the script's own sequences never wait for a silent peer.
  return connection.Open(host, port, [worker] { return worker->Cancelled(); });
}

int32_t CComponentMethods::ConnectSocket(bool interactive, const Reconnector* worker) {
  try {
    std::lock_guard<std::mutex> attempt(m_attemptMutex);
    if (OpenConnection(interactive, worker) != 0) return kResultFailed;
    // A failed tunnel request does not fail the attempt; the next failed
    // send finds the broken connection.
    if (m_nProxyEnable.load() == 1) {
      if (interactive) {
        SendProxyConnect();
      } else {
        try {
          SendTunnelRequest(false);
        } catch (...) {
        }
      }
    }
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

int32_t CComponentMethods::ConnectInteractive() {
  try {
    int64_t failures = 0;
    for (;;) {
      if (failures > m_nSocketReconnCount.load()) {
        FireCallback(m_pHandleMaximumReConnection, kEventInteractive);
        return 0;
      }
      if (ConnectSocket(true) == 0) break;
      FireCallback(m_pHandleConnectionFailure, kEventInteractive);
      ++failures;  // no pause between interactive attempts
    }
    m_interactive.SetConnectPending(false);
    NoteConnected(true);
    FireCallback(m_pHandleConnect, kEventTrue);
    // Set after the event: a keep-alive asked for inside the first
    // handleConnect starts nothing.
    m_interactive.SetReading(true);
    StartInteractiveReader(100);
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

int32_t CComponentMethods::ConnectBroadcast() {
  try {
    // One attempt per pass, counted from 0: only a negative count is
    // already exceeded.
    if (m_nSocketReconnCount.load() < 0) {
      FireCallback(m_pHandleMaximumReConnection, kEventBroadcast);
      return 0;
    }
    if (ConnectSocket(false) != 0) {
      FireCallback(m_pHandleConnectionFailure, kEventBroadcast);
      return 0;
    }
    m_bcast.SetConnectPending(false);
    NoteConnected(false);
    FireCallback(m_pHandleConnect, kEventTrue);
    m_bcast.SetReading(true);
    StartBcastReader(100);
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

int32_t CComponentMethods::CloseConnection(bool interactive) {
  try {
    // The connection ends its reader before it closes the socket, so a
    // closed (and perhaps reused) descriptor is never read.
    Pick(interactive).Close();
    return 0;
  } catch (...) {
    return kResultFailed;
  }
}

}  // namespace corvane
