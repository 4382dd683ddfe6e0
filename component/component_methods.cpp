// CComponentMethods: construction, the reset, the settings members of the
// script interface, the callback slots, the counters and owner-thread delivery.
//
// Argument checks are made on the dereferenced Variant type, so by-reference
// arguments from script engines are judged by what they point to. A VT_BOOL
// argument turns a codec or multi-connection flag off whatever its value; any
// other type turns it on: scripts rely on that quirk, so it stays.
#include "component/component_methods.h"

#include <algorithm>

#include "codec/base64.h"
#include "protocol/numbers.h"

namespace corvane {
namespace {

// The text of a string argument. The interface does not convert other types;
// numbers are taken as their decimal text so that a numeric -99 still marks an
// absent credential, and anything else is empty.
std::string ArgumentText(const Variant& argument) {
  const Variant& v = argument.Deref();
  switch (v.vt) {
    case kVtBstr:
      return v.text;
    case kVtI2:
    case kVtI4:
    case kVtInt:
      return std::to_string(v.intValue);
    default:
      return {};
  }
}

uint8_t FlagFromArgument(const Variant& argument) { return argument.Type() == kVtBool ? 0 : 1; }

}  // namespace

CComponentMethods::CComponentMethods()
    : m_proxySource(SystemProxySettingsSource()), m_router(*this) {
  Reset();
}

CComponentMethods::~CComponentMethods() {
  // Readers and the keep-alive worker end and are joined before anything they
  // use goes away; the mailbox (hidden window) goes last.
  try {
    Shutdown();
  } catch (...) {
  }
  m_mailbox.reset();
}

HResult CComponentMethods::FinalConstruct() {
  int32_t error = 0;
  m_mailbox = CreateMailbox(
      [this](unsigned message) {
        if (message == WM_DELIVER_DATA) {
          OnDeliverData();
        } else if (message == WM_DELIVER_AUTHENTICATION) {
          OnDeliverAuthentication();
        } else if (message == WM_DELIVER_CONNECTION) {
          DeliverNext();
        }
      },
      &error);
  if (m_mailbox) return kS_OK;
  if (error == 0) return kS_OK;
  // HRESULT_FROM_WIN32 for a system error code.
  if (error < 0) return error;
  return static_cast<HResult>((static_cast<uint32_t>(error) & 0xFFFFu) | 0x80070000u);
}

std::unique_ptr<CComponentMethods> CComponentMethods::Create(HResult* result) {
  auto component = std::make_unique<CComponentMethods>();
  const HResult hr = component->FinalConstruct();
  if (result != nullptr) *result = hr;
  if (hr < 0 || !component->m_mailbox) return nullptr;
  return component;
}

void CComponentMethods::Reset() {
  // A reconnection worker's run is cancelled and joined, and none starts
  // while the flags change.
  Reconnector::OwnerScope holdInteractive(m_interactiveWorker);
  Reconnector::OwnerScope holdBcast(m_bcastWorker);
  m_nInteractivePort = 0;
  m_nBcastPort = 0;
  m_nProxyEnable = 0;
  m_nProxyPort = 0;
  m_nIPAddrFormatFlag = 0;
  m_bProxyCredentials = 0;
  m_bMultiOC = 0;
  m_nSocketReconnTime = 0;
  m_nSocketReconnCount = 0;
  m_nKeepAliveInterval = 0;
  m_interactive.SetConnectPending(false);
  m_bcast.SetConnectPending(false);
  m_interactive.SetReading(false);
  m_bcast.SetReading(false);
  // The readers end now (the sockets stay open). A drop one of them found
  // meanwhile stays reported, but is not reconnected.
  m_interactive.StopReader();
  m_bcast.StopReader();
  m_interactiveWorker.DropTrigger();
  m_bcastWorker.DropTrigger();
  m_bDropQueued[0].store(0);
  m_bDropQueued[1].store(0);
  m_nReaderTimerPeriod = 0;
  m_nPacketCount = 0;
  m_nRequestCount = 0;
  m_bCompression = 1;
  m_bEncryption = 1;
  m_interactive.ClearDataSeen();
  m_bcast.ClearDataSeen();
  m_router.Reset();
  ResetAssemblers();
}

// ---- Settings ----

void CComponentMethods::StoreProxyCredentials(const Variant& vUserId, const Variant& vPassword) {
  m_bProxyCredentials = 1;
  std::string password = ArgumentText(vPassword);
  std::string userId = ArgumentText(vUserId);
  // -99 is the script's marker for an absent value; any text starting with it counts.
  m_strProxyUid = DecimalPrefix32(userId) == -99 ? std::string() : std::move(userId);
  m_strProxyPwd = DecimalPrefix32(password) == -99 ? std::string() : std::move(password);
  m_strProxyAuth = Base64Encode(m_strProxyUid + ":" + m_strProxyPwd);
}

HResult CComponentMethods::SetProxyCredentials(const Variant& vUserId, const Variant& vPassword) {
  try {
    StoreProxyCredentials(vUserId, vPassword);
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::setProxyServerDetails(const Variant& /*vProxyIp*/,
                                                 const Variant& /*vProxyPort*/,
                                                 const Variant& vProxyUid, const Variant& vProxyPwd,
                                                 Variant* /*pRetVal*/) {
  // The proxy endpoint always comes from the user's proxy settings; only the
  // credentials are taken here, and the result is left as the caller passed it.
  return SetProxyCredentials(vProxyUid, vProxyPwd);
}

HResult CComponentMethods::setKeepAliveTimerDetail(const Variant& vKeepAliveInterval) {
  if (vKeepAliveInterval.Type() == kVtI4) m_nKeepAliveInterval = vKeepAliveInterval.Int32();
  return kS_OK;
}

HResult CComponentMethods::setTimerDetails(const Variant& vSocketReconnTime,
                                           const Variant& vSocketReconnCount) {
  if (vSocketReconnTime.Type() == kVtI4 && vSocketReconnCount.Type() == kVtI4) {
    m_nSocketReconnTime = vSocketReconnTime.Int32();
    m_nSocketReconnCount = vSocketReconnCount.Int32();
  }
  return kS_OK;
}

HResult CComponentMethods::setEncryption(const Variant& vbEncryption) {
  m_bEncryption = FlagFromArgument(vbEncryption);
  return kS_OK;
}

HResult CComponentMethods::setCompression(const Variant& vbCompression) {
  m_bCompression = FlagFromArgument(vbCompression);
  return kS_OK;
}

HResult CComponentMethods::setMultiOC(const Variant& vbMultiOC) {
  Reset();
  m_bMultiOC = FlagFromArgument(vbMultiOC);
  return kS_OK;
}

// ---- Callback slots ----

#define CORVANE_CALLBACK_PROPERTY(name, slot)                                        \
  HResult CComponentMethods::get_##name(std::shared_ptr<CallbackTarget>* pVal) {     \
    if (pVal == nullptr) return kE_POINTER;                                          \
    *pVal = slot;                                                                    \
    return kS_OK;                                                                    \
  }                                                                                  \
  HResult CComponentMethods::putref_##name(std::shared_ptr<CallbackTarget> newVal) { \
    slot = std::move(newVal);                                                        \
    return kS_OK;                                                                    \
  }

CORVANE_CALLBACK_PROPERTY(handleConnect, m_pHandleConnect)
CORVANE_CALLBACK_PROPERTY(handleConnectionFailure, m_pHandleConnectionFailure)
CORVANE_CALLBACK_PROPERTY(handleMaximumReConnection, m_pHandleMaximumReConnection)
CORVANE_CALLBACK_PROPERTY(handleDisConnect, m_pHandleDisConnect)
CORVANE_CALLBACK_PROPERTY(handleData, m_pHandleData)
CORVANE_CALLBACK_PROPERTY(handleAuthentication, m_pHandleAuthentication)
CORVANE_CALLBACK_PROPERTY(handleBCDisConnect, m_pHandleBCDisConnect)

#undef CORVANE_CALLBACK_PROPERTY

// ---- Counters ----

HResult CComponentMethods::getPacketCount(Variant* pPacketCount) {
  const int32_t sum = m_router.InteractivePacketCount() + m_router.BcastPacketCount();
  m_nPacketCount = sum;
  if (pPacketCount != nullptr) *pPacketCount = Variant::Int(sum);
  return kS_OK;
}

HResult CComponentMethods::getRequestCount(Variant* pReqCount) {
  if (pReqCount != nullptr) *pReqCount = Variant::Int(m_nRequestCount.load());
  return kS_OK;
}

// ---- Delivery ----

int CComponentMethods::FireCallback(const std::shared_ptr<CallbackTarget>& slot,
                                    std::string_view text) {
  // slot is normally one of the callback slots, and the callback may assign
  // that very slot (or empty it) while it runs. The call holds its own
  // reference, so the target and everything its function captured live until
  // the call returns, whoever else lets go of it meanwhile.
  const std::shared_ptr<CallbackTarget> target = slot;
  if (!target) return kResultFailed;
  try {
    target->Call(*this, std::string(text));
  } catch (...) {
    return kResultFailed;
  }
  return 0;
}

bool CComponentMethods::PostNotification(unsigned message) {
  return m_mailbox && m_mailbox->Post(message);
}

void CComponentMethods::DeliverNext() {
  DeliveredEvent event;
  if (!m_router.TakeNext(event)) return;
  if (event.kind != EventKind::Data && event.kind != EventKind::Authentication) {
    m_nConnectionEventsQueued.fetch_sub(1);
  }
  // Callbacks receive the text up to its first zero byte.
  const std::string_view text(event.text.data(),
                              std::min(event.text.size(), event.text.find('\0')));
  FireCallback(SlotFor(event.kind), text);
}

const std::shared_ptr<CallbackTarget>& CComponentMethods::SlotFor(EventKind kind) const {
  switch (kind) {
    case EventKind::Data:
      return m_pHandleData;
    case EventKind::Authentication:
      return m_pHandleAuthentication;
    case EventKind::Connect:
      return m_pHandleConnect;
    case EventKind::ConnectionFailure:
      return m_pHandleConnectionFailure;
    case EventKind::MaximumReConnection:
      return m_pHandleMaximumReConnection;
    case EventKind::DisConnect:
      return m_pHandleDisConnect;
    case EventKind::BCDisConnect:
      return m_pHandleBCDisConnect;
  }
  return m_pHandleData;
}

// Each notification delivers the next queued event. Queue and notifications
// are filled under one lock, so the event's kind always matches the
// notification; taking it from the event keeps the two in step regardless.
void CComponentMethods::OnDeliverData() { DeliverNext(); }
void CComponentMethods::OnDeliverAuthentication() { DeliverNext(); }

int CComponentMethods::PumpEvents() { return m_mailbox ? m_mailbox->Pump() : 0; }

intptr_t CComponentMethods::EventWaitHandle() const {
  return m_mailbox ? m_mailbox->WaitHandle() : -1;
}

// ---- Per-connection flags, for replay and tests ----

void CComponentMethods::SetDataSeen(bool interactive) { Pick(interactive).SetDataSeen(); }

void CComponentMethods::SetReading(bool interactive, bool reading) {
  Pick(interactive).SetReading(reading);
}

void CComponentMethods::SetProxyEnable(int32_t value) { m_nProxyEnable = value; }

void CComponentMethods::SetProxySettingsSource(std::shared_ptr<ProxySettingsSource> source) {
  m_proxySource = std::move(source);
}

CComponentMethods::Snapshot CComponentMethods::GetSnapshot() const {
  Snapshot s;
  s.interactiveIp = m_strInteractiveIp;
  s.bcastIp = m_strBcastIp;
  s.proxyIp = m_strProxyIp;
  s.proxyUid = m_strProxyUid;
  s.proxyPwd = m_strProxyPwd;
  s.proxyAuth = m_strProxyAuth;
  s.interactivePort = m_nInteractivePort;
  s.bcastPort = m_nBcastPort;
  s.proxyEnable = m_nProxyEnable;
  s.proxyPort = m_nProxyPort;
  s.ipAddrFormatFlag = m_nIPAddrFormatFlag;
  s.proxyCredentials = m_bProxyCredentials != 0;
  s.multiOC = m_bMultiOC != 0;
  s.compression = m_bCompression != 0;
  s.encryption = m_bEncryption != 0;
  s.socketReconnTime = m_nSocketReconnTime;
  s.socketReconnCount = m_nSocketReconnCount;
  s.keepAliveInterval = m_nKeepAliveInterval;
  s.interactiveReading = m_interactive.Reading();
  s.bcastReading = m_bcast.Reading();
  s.loggedOn = m_router.LoggedOn();
  s.interactivePacketCount = m_router.InteractivePacketCount();
  s.bcastPacketCount = m_router.BcastPacketCount();
  s.requestCount = m_nRequestCount;
  return s;
}

}  // namespace corvane
