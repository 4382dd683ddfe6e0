// CComponentMethods: the members' argument checks and results over the
// session, the callback slots and the delivery of events to them.
#include "component/component_methods.h"

#include "codec/base64.h"
#include "platform/secure_wipe.h"
#include "protocol/numbers.h"
#include "send/http_request.h"

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

bool FlagFromArgument(const Variant& argument) { return argument.Type() != kVtBool; }

// The slot of each event kind, in the order of EventKind.
size_t SlotIndex(EventKind kind) { return static_cast<size_t>(kind); }

}  // namespace

CComponentMethods::CComponentMethods() = default;

CComponentMethods::~CComponentMethods() = default;

HResult CComponentMethods::FinalConstruct() {
  const int32_t error = m_session.OpenMailbox();
  if (error == 0) return kS_OK;
  // HRESULT_FROM_WIN32 for a system error code.
  if (error < 0) return error;
  return static_cast<HResult>((static_cast<uint32_t>(error) & 0xFFFFu) | 0x80070000u);
}

std::unique_ptr<CComponentMethods> CComponentMethods::Create(HResult* result) {
  auto component = std::make_unique<CComponentMethods>();
  const HResult hr = component->FinalConstruct();
  if (result != nullptr) *result = hr;
  if (hr < 0 || !component->m_session.Events().IsOpen()) return nullptr;
  return component;
}

intptr_t CComponentMethods::EventWaitHandle() const {
  return const_cast<Session&>(m_session).Events().WaitHandle();
}

int32_t CComponentMethods::PortArgument(const Variant& value) {
  const Variant& v = value.Deref();
  if (v.vt == kVtBstr) return DecimalPrefix32(v.text);
  return value.Int32();
}

// ---- Settings ----

void CComponentMethods::StoreProxyCredentials(const Variant& vUserId, const Variant& vPassword) {
  std::string password = ArgumentText(vPassword);
  std::string userId = ArgumentText(vUserId);
  // -99 is the script's marker for an absent value; any text starting with it counts.
  if (DecimalPrefix32(userId) == -99) SecureWipe(userId);
  if (DecimalPrefix32(password) == -99) SecureWipe(password);
  // One buffer, made large enough first: growing it would free a copy.
  std::string plain;
  plain.reserve(userId.size() + 1 + password.size());
  plain.append(userId).append(":").append(password);
  Secret auth{Base64Encode(plain)};
  SecureWipe(plain);
  Secret user{std::move(userId)};
  Secret secret{std::move(password)};
  // The previous credentials are overwritten, not just released.
  m_session.Core().settings.Update([&](Settings& s) {
    s.proxyCredentials = true;
    s.proxyUser = user;
    s.proxyPassword = secret;
    s.proxyAuth = auth;
  });
}

HResult CComponentMethods::SetProxyCredentials(const Variant& vUserId, const Variant& vPassword) {
  try {
    StoreProxyCredentials(vUserId, vPassword);
  } catch (...) {
    // The flag is set before anything can fail.
    m_session.Core().settings.Update([](Settings& s) { s.proxyCredentials = true; });
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
  if (vKeepAliveInterval.Type() == kVtI4) {
    const int32_t value = vKeepAliveInterval.Int32();
    m_session.Core().settings.Update([value](Settings& s) { s.keepAliveIntervalMs = value; });
  }
  return kS_OK;
}

HResult CComponentMethods::setTimerDetails(const Variant& vSocketReconnTime,
                                           const Variant& vSocketReconnCount) {
  if (vSocketReconnTime.Type() == kVtI4 && vSocketReconnCount.Type() == kVtI4) {
    const int32_t time = vSocketReconnTime.Int32();
    const int32_t count = vSocketReconnCount.Int32();
    m_session.Core().settings.Update([time, count](Settings& s) {
      s.reconnectTimeMs = time;
      s.reconnectCount = count;
    });
  }
  return kS_OK;
}

HResult CComponentMethods::setEncryption(const Variant& vbEncryption) {
  const bool on = FlagFromArgument(vbEncryption);
  m_session.Core().settings.Update([on](Settings& s) { s.encryption = on; });
  return kS_OK;
}

HResult CComponentMethods::setCompression(const Variant& vbCompression) {
  const bool on = FlagFromArgument(vbCompression);
  m_session.Core().settings.Update([on](Settings& s) { s.compression = on; });
  return kS_OK;
}

HResult CComponentMethods::setMultiOC(const Variant& vbMultiOC) {
  m_session.Reset(FlagFromArgument(vbMultiOC));
  return kS_OK;
}

// ---- Endpoints and connections ----

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
    Session::HoldLinks hold(m_session);
    const int32_t format = vIPAddrFormatFlag.Int32() == 1 ? 1 : 0;
    m_session.Core().settings.Update([format](Settings& s) { s.ipAddrFormatFlag = format; });
    m_session.Interactive().SetEndpoint(vIpAddr.Deref().text, PortArgument(vInteractivePort));
    // Broadcast port: every real port (1..65535) is taken. Other values keep
    // the rule of the low 16 bits as a signed number: positive takes the
    // value, 0 clears the port, negative leaves it as it was. The broadcast
    // host is setOCDetails' alone.
    Link& broadcast = m_session.GetLink(LinkId::Broadcast);
    const int32_t bcast = PortArgument(vBcastPort);
    const auto low = static_cast<int16_t>(static_cast<uint16_t>(bcast & 0xFFFF));
    if ((bcast >= 1 && bcast <= 65535) || low > 0) {
      broadcast.SetPort(bcast);
    } else if (low == 0) {
      broadcast.SetPort(0);
    }
    *pRetVal = Variant::Int(0);
    m_session.ConnectBoth();
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
    Session::HoldLinks hold(m_session);
    m_session.Interactive().SetEndpoint(vInteractiveIp.Deref().text,
                                        PortArgument(vInteractivePort));
    m_session.GetLink(LinkId::Broadcast)
        .SetEndpoint(vBcastIp.Type() == kVtBstr ? vBcastIp.Deref().text : std::string(),
                     PortArgument(vBcastPort));
    m_session.ConnectBoth();
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::ConnectToServer(Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(0);
  try {
    *pRetVal = Variant::Int(m_session.ConnectToServer());
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

HResult CComponentMethods::SendConnect(Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(0);
  try {
    if (m_session.SendConnect() != 0) {
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
    const int n = m_session.ReceiveOnce(text, error);
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

HResult CComponentMethods::startKeepAlive(const Variant& /*sRequest*/, Variant* /*pRetVal*/) {
  try {
    return m_session.StartKeepAlive() == 0 ? kS_OK : kE_FAIL;
  } catch (...) {
    return kE_FAIL;
  }
}

// ---- Requests ----

HResult CComponentMethods::sendRequest(const Variant& vRequest, Variant* pRetVal) {
  // Before anything else, also for a rejected argument: requests always go
  // out plain, and received traffic is then read as plain too.
  m_session.Core().settings.Update([](Settings& s) {
    s.compression = false;
    s.encryption = false;
  });
  if (pRetVal == nullptr) return kE_POINTER;
  try {
    *pRetVal = Variant::Int(0);
    // A message with CR, LF or NUL could carry header lines or requests of
    // its own: refused before anything is sent.
    if (vRequest.Type() != kVtBstr || !FitsRequestLine(vRequest.Deref().text)) {
      *pRetVal = Variant::Int(kResultFailed);
      return kS_OK;
    }
    *pRetVal = Variant::Int(m_session.SendRequest(vRequest.Deref().text));
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

HResult CComponentMethods::sendBCRequest(const Variant& vRequest, Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  try {
    if (!m_session.CurrentSettings()->multiOC) {
      // Counted as a request; the result keeps the caller's value, typed VT_INT.
      const int32_t previous = pRetVal->intValue;
      *pRetVal = Variant::Int(previous);
      m_session.CountRequest();
      return kS_OK;
    }
    *pRetVal = Variant::Int(vRequest.Type() == kVtBstr ? 0 : -1);
  } catch (...) {
    *pRetVal = Variant::Int(kResultFailed);
  }
  return kS_OK;
}

// ---- Counters ----

HResult CComponentMethods::getPacketCount(Variant* pPacketCount) {
  if (pPacketCount != nullptr) *pPacketCount = Variant::Int(m_session.PacketCount());
  return kS_OK;
}

HResult CComponentMethods::getRequestCount(Variant* pReqCount) {
  if (pReqCount != nullptr) *pReqCount = Variant::Int(m_session.RequestCount());
  return kS_OK;
}

// ---- Transport security ----

std::vector<LinkId> CComponentMethods::ConnectionsArgument(const Variant& value) {
  const Variant& v = value.Deref();
  int32_t which = -1;
  if (v.vt == kVtI2 || v.vt == kVtI4 || v.vt == kVtInt) which = v.intValue;
  if (v.vt == kVtBstr && !v.text.empty() &&
      v.text.find_first_not_of("0123456789") == std::string::npos && v.text.size() <= 2)
    which = DecimalPrefix32(v.text);
  switch (which) {
    case 0:
      return {kLinkIds.begin(), kLinkIds.end()};
    case 1:
      return {LinkId::Interactive};
    case 2:
      return {LinkId::Broadcast};
    default:
      return {};
  }
}

HResult CComponentMethods::setTransportSecurity(const Variant& vConnection, const Variant& vMode,
                                                Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(kResultFailed);
  try {
    const std::vector<LinkId> links = ConnectionsArgument(vConnection);
    const Variant& mode = vMode.Deref();
    const bool numeric = mode.vt == kVtI2 || mode.vt == kVtI4 || mode.vt == kVtInt;
    if (links.empty() || !numeric || (mode.intValue != 0 && mode.intValue != 1)) return kS_OK;
    const bool on = mode.intValue == 1;
    m_session.Core().settings.Update([&](Settings& s) {
      for (LinkId id : links) s.tls[Index(id)].on = on;
    });
    *pRetVal = Variant::Int(0);
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::setServerPins(const Variant& vConnection, const Variant& vPins,
                                         Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(kResultFailed);
  try {
    const std::vector<LinkId> links = ConnectionsArgument(vConnection);
    if (links.empty() || vPins.Type() != kVtBstr) return kS_OK;
    std::vector<std::string> pins;
    std::string_view rest = vPins.Deref().text;
    while (!rest.empty()) {
      const size_t end = rest.find_first_of(";, \t");
      const std::string_view pin = rest.substr(0, end);
      if (!pin.empty()) {
        if (!tls::PinWellFormed(pin)) return kS_OK;
        pins.emplace_back(pin);
      }
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
    m_session.Core().settings.Update([&](Settings& s) {
      for (LinkId id : links) s.tls[Index(id)].pins = pins;
    });
    *pRetVal = Variant::Int(0);
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::getTransportSecurity(const Variant& vConnection, Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Str(std::string());
  try {
    const std::vector<LinkId> links = ConnectionsArgument(vConnection);
    if (links.size() != 1) return kS_OK;
    if (const std::optional<tls::Negotiated> n = m_session.GetLink(links[0]).TlsParameters())
      pRetVal->text = n->protocol + "|" + n->cipher + "|" + n->subject + "|" + n->notAfter;
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::setConflation(const Variant& vTag, const Variant& vMinimumIntervalMs,
                                         Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(kResultFailed);
  try {
    constexpr int32_t kMaxIntervalMs = 3600000;
    const Variant& tag = vTag.Deref();
    int32_t tagNumber = -1;
    if (tag.vt == kVtI2 || tag.vt == kVtI4 || tag.vt == kVtInt) tagNumber = tag.intValue;
    if (tag.vt == kVtBstr && !tag.text.empty() && tag.text.size() <= 9 &&
        tag.text.find_first_not_of("0123456789") == std::string::npos)
      tagNumber = DecimalPrefix32(tag.text);
    const Variant& interval = vMinimumIntervalMs.Deref();
    int32_t intervalMs = -1;
    if (interval.vt == kVtEmpty || interval.vt == kVtNull) intervalMs = 0;
    if (interval.vt == kVtI2 || interval.vt == kVtI4 || interval.vt == kVtInt)
      intervalMs = interval.intValue;
    if (tagNumber < 0 || intervalMs < 0 || intervalMs > kMaxIntervalMs) return kS_OK;
    ConflationSettings conflation;
    // Tags are written without leading zeros on the wire: 055 keys on 55.
    if (tagNumber != 0) conflation = {std::to_string(tagNumber), intervalMs};
    m_session.Core().settings.Update([&](Settings& s) { s.conflation = conflation; });
    *pRetVal = Variant::Int(0);
  } catch (...) {
  }
  return kS_OK;
}

HResult CComponentMethods::getConflatedCount(Variant* pRetVal) {
  if (pRetVal == nullptr) return kE_POINTER;
  *pRetVal = Variant::Int(m_session.Core().router.ConflatedCount());
  return kS_OK;
}

// ---- Callback slots and delivery ----

HResult CComponentMethods::GetSlot(EventKind kind, std::shared_ptr<CallbackTarget>* pVal) const {
  if (pVal == nullptr) return kE_POINTER;
  *pVal = m_slots[SlotIndex(kind)];
  return kS_OK;
}

HResult CComponentMethods::PutSlot(EventKind kind, std::shared_ptr<CallbackTarget> newVal) {
  m_slots[SlotIndex(kind)] = std::move(newVal);
  return kS_OK;
}

#define CORVANE_CALLBACK_PROPERTY(name, kind)                                        \
  HResult CComponentMethods::get_##name(std::shared_ptr<CallbackTarget>* pVal) {     \
    return GetSlot(kind, pVal);                                                      \
  }                                                                                  \
  HResult CComponentMethods::putref_##name(std::shared_ptr<CallbackTarget> newVal) { \
    return PutSlot(kind, std::move(newVal));                                         \
  }

CORVANE_CALLBACK_PROPERTY(handleConnect, EventKind::Connect)
CORVANE_CALLBACK_PROPERTY(handleConnectionFailure, EventKind::ConnectionFailure)
CORVANE_CALLBACK_PROPERTY(handleMaximumReConnection, EventKind::MaximumReConnection)
CORVANE_CALLBACK_PROPERTY(handleDisConnect, EventKind::DisConnect)
CORVANE_CALLBACK_PROPERTY(handleData, EventKind::Data)
CORVANE_CALLBACK_PROPERTY(handleAuthentication, EventKind::Authentication)
CORVANE_CALLBACK_PROPERTY(handleBCDisConnect, EventKind::BCDisConnect)

#undef CORVANE_CALLBACK_PROPERTY

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

void CComponentMethods::OnEvent(const Event& event) {
  // The call holds its own reference (see FireCallback); an empty slot drops
  // the event.
  const std::shared_ptr<CallbackTarget> target = m_slots[SlotIndex(event.kind)];
  if (!target) return;
  try {
    target->Deliver(*this, event);
  } catch (...) {
  }
}

}  // namespace corvane
