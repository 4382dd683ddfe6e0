// CComponentMethods: construction, the reset, the settings members of the
// script interface, the callback slots, the counters and owner-thread delivery.
//
// Delivery: one mailbox notification stands for every event queued since the
// owner thread last found the queue empty. Its handler delivers events for a
// slice of about 10 ms (the clock is read every few events) and reports
// whether any are left; the mailbox then resumes after the thread's other
// work, so a feed faster than script can take never starves the host. A
// callback may pump again (the nested slice goes on with the queue) or
// destroy the component (the slice notices and stops touching it).
//
// Argument checks are made on the dereferenced Variant type, so by-reference
// arguments from script engines are judged by what they point to. A VT_BOOL
// argument turns a codec or multi-connection flag off whatever its value; any
// other type turns it on: scripts rely on that quirk, so it stays.
#include "component/component_methods.h"

#include <algorithm>
#include <chrono>

#include "codec/base64.h"
#include "platform/secure_wipe.h"
#include "protocol/numbers.h"

namespace corvane {
namespace {

// A slice: at most this long, and at most this many events; the clock is
// read every kClockStride events, so a burst of a few goes out at once.
constexpr auto kSliceTime = std::chrono::milliseconds(10);
constexpr uint64_t kSliceMaxEvents = 4096;
constexpr uint64_t kClockStride = 8;

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

// FireCallback for a text without zero bytes, which is passed on as it is
// instead of as a copy: the call holds its own reference to the target.
void CallWithText(const std::shared_ptr<CallbackTarget>& slot, CComponentMethods& self,
                  const std::string& text) {
  const std::shared_ptr<CallbackTarget> target = slot;
  if (!target) return;
  try {
    target->Call(self, text);
  } catch (...) {
  }
}

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
  // A slice running below us (this is a callback's doing) stops here.
  m_life->destroyed = true;
  m_mailbox.reset();
  WipeProxyCredentials();
}

HResult CComponentMethods::FinalConstruct() {
  int32_t error = 0;
  m_mailbox = CreateMailbox(
      [this](unsigned message) {
        if (message == WM_DELIVER_DATA) return OnDeliverData();
        if (message == WM_DELIVER_AUTHENTICATION) return OnDeliverAuthentication();
        if (message == WM_DELIVER_CONNECTION || message == Mailbox::kResume) return DeliverSlice();
        return false;
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
  WipeProxyCredentials();
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
  // The previous credentials are overwritten, not just released.
  WipeProxyCredentials();
  // -99 is the script's marker for an absent value; any text starting with it counts.
  m_strProxyUid = DecimalPrefix32(userId) == -99 ? std::string() : std::move(userId);
  m_strProxyPwd = DecimalPrefix32(password) == -99 ? std::string() : std::move(password);
  std::string plain = m_strProxyUid + ":" + m_strProxyPwd;
  m_strProxyAuth = Base64Encode(plain);
  SecureWipe(plain);
  SecureWipe(password);
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

bool CComponentMethods::DeliverSlice() {
  // Held across the callbacks: one of them may destroy this object.
  const std::shared_ptr<DeliveryLife> life = m_life;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t n = 1;; ++n) {
    DeliveredEvent event;
    if (!m_router.TakeNext(event)) return false;
    ++life->delivered;
    Deliver(event);
    if (life->destroyed) return false;
    if (n >= kSliceMaxEvents) return true;
    if (n % kClockStride == 0 && std::chrono::steady_clock::now() - start >= kSliceTime) {
      return true;
    }
  }
}

void CComponentMethods::Deliver(const DeliveredEvent& event) {
  // Callbacks receive the text up to its first zero byte.
  const size_t zero = event.text.find('\0');
  if (zero == std::string::npos) {
    CallWithText(SlotFor(event.kind), *this, event.text);
  } else {
    FireCallback(SlotFor(event.kind), std::string_view(event.text.data(), zero));
  }
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

// A notification's kind is that of the first event queued after the owner
// thread last found the queue empty; the slice takes each event's own kind.
bool CComponentMethods::OnDeliverData() { return DeliverSlice(); }
bool CComponentMethods::OnDeliverAuthentication() { return DeliverSlice(); }

int CComponentMethods::PumpEvents() {
  if (!m_mailbox) return 0;
  const std::shared_ptr<DeliveryLife> life = m_life;
  const uint64_t before = life->delivered;
  m_mailbox->Pump();
  return static_cast<int>(life->delivered - before);
}

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
