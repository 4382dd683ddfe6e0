// CComponentMethods: the script face of one component.
//
// The 31 members of the script interface with their argument rules and
// results, the seven callback slots, and the native host's delivery entry
// points. Everything behind the members (settings, keys, the two links, the
// event queue and its delivery) is the component's Session (session/): a
// member checks its arguments the way scripts rely on, then asks the session.
// Every member runs on the owner (host) thread; the callbacks run there too,
// when the host handles the component's notifications (the hidden window's
// messages on Windows, PumpEvents natively). component/members.h lists the
// members once for every face that dispatches by name or number.
//
// Argument checks are made on the dereferenced Variant type, so by-reference
// arguments from script engines are judged by what they point to. A VT_BOOL
// argument turns a codec or multi-connection flag off whatever its value; any
// other type turns it on: scripts rely on that quirk, so it stays.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/callback.h"
#include "component/variant.h"
#include "protocol/results.h"
#include "session/session.h"

namespace corvane {

class CComponentMethods : private EventSink {
 public:
  CComponentMethods();
  ~CComponentMethods() override;
  CComponentMethods(const CComponentMethods&) = delete;
  CComponentMethods& operator=(const CComponentMethods&) = delete;

  // Second construction step on the owner thread: makes the mailbox (the
  // hidden window on Windows). Fails with the HRESULT of the system's last
  // error when it cannot be made (S_OK when that error is 0).
  HResult FinalConstruct();

  // Native convenience: constructed and FinalConstruct-ed, or nullptr.
  static std::unique_ptr<CComponentMethods> Create(HResult* result = nullptr);

  // ---- The script interface (dispids in comments) ----
  HResult SetProxyCredentials(const Variant& vUserId, const Variant& vPassword);     // 1
  HResult SendConnect(Variant* pRetVal);                                             // 2
  HResult ReceiveData(Variant* pData);                                               // 5
  HResult ConnectToServer(Variant* pRetVal);                                         // 6
  HResult SetServerDetails(const Variant& vIpAddr, const Variant& vInteractivePort,  // 7
                           const Variant& vBcastPort, const Variant& vIPAddrFormatFlag,
                           Variant* pRetVal);
  HResult setKeepAliveTimerDetail(const Variant& vKeepAliveInterval);  // 8
  HResult setTimerDetails(const Variant& vSocketReconnTime,            // 9
                          const Variant& vSocketReconnCount);
  HResult setEncryption(const Variant& vbEncryption);                // 10
  HResult setCompression(const Variant& vbCompression);              // 11
  HResult setMultiOC(const Variant& vbMultiOC);                      // 12
  HResult get_handleConnect(std::shared_ptr<CallbackTarget>* pVal);  // 13
  HResult putref_handleConnect(std::shared_ptr<CallbackTarget> newVal);
  HResult get_handleConnectionFailure(std::shared_ptr<CallbackTarget>* pVal);  // 14
  HResult putref_handleConnectionFailure(std::shared_ptr<CallbackTarget> newVal);
  HResult get_handleMaximumReConnection(std::shared_ptr<CallbackTarget>* pVal);  // 15
  HResult putref_handleMaximumReConnection(std::shared_ptr<CallbackTarget> newVal);
  HResult get_handleDisConnect(std::shared_ptr<CallbackTarget>* pVal);  // 17
  HResult putref_handleDisConnect(std::shared_ptr<CallbackTarget> newVal);
  HResult setOCDetails(const Variant& vInteractiveIp, const Variant& vInteractivePort,  // 18
                       const Variant& vBcastIp, const Variant& vBcastPort, const Variant& vPolicyIp,
                       const Variant& vPolicyPort);
  HResult get_handleData(std::shared_ptr<CallbackTarget>* pVal);  // 19
  HResult putref_handleData(std::shared_ptr<CallbackTarget> newVal);
  HResult get_handleAuthentication(std::shared_ptr<CallbackTarget>* pVal);  // 21
  HResult putref_handleAuthentication(std::shared_ptr<CallbackTarget> newVal);
  HResult startKeepAlive(const Variant& sRequest, Variant* pRetVal);      // 22
  HResult sendRequest(const Variant& vRequest, Variant* pRetVal);         // 23
  HResult sendBCRequest(const Variant& vRequest, Variant* pRetVal);       // 24
  HResult get_handleBCDisConnect(std::shared_ptr<CallbackTarget>* pVal);  // 25
  HResult putref_handleBCDisConnect(std::shared_ptr<CallbackTarget> newVal);
  HResult getPacketCount(Variant* pPacketCount);                                     // 26
  HResult getRequestCount(Variant* pReqCount);                                       // 27
  HResult setProxyServerDetails(const Variant& vProxyIp, const Variant& vProxyPort,  // 28
                                const Variant& vProxyUid, const Variant& vProxyPwd,
                                Variant* pRetVal);

  // ---- The second interface: transport security per connection ----
  // vConnection: 1 interactive, 2 broadcast, 0 both (a number, or a string of
  // digits). Each gives VT_INT 0, or -1 when an argument is refused and
  // nothing changed. The settings last until setMultiOC's reset; the
  // administrator's policy can only add TLS.
  // vMode: 0 plain, 1 TLS with full verification (the chain against the
  // system's trust store, the server's name as given, the dates).
  HResult setTransportSecurity(const Variant& vConnection, const Variant& vMode,  // 29
                               Variant* pRetVal);
  // vPins: "sha256/<base64 of the SPKI's SHA-256>" entries separated by ';',
  // ',' or blanks, one of which a certificate of the verified chain must
  // have; an empty text drops them. A malformed entry refuses all.
  HResult setServerPins(const Variant& vConnection, const Variant& vPins,  // 30
                        Variant* pRetVal);
  // A string "PROTOCOL|CIPHER|SUBJECT|NOTAFTER" (e.g. "TLSv1.3|
  // TLS_AES_256_GCM_SHA384|CN=trade.broker.example|2027-01-31T12:00:00Z")
  // for a connection made over TLS; empty otherwise (vConnection 1 or 2).
  HResult getTransportSecurity(const Variant& vConnection, Variant* pRetVal);  // 31

  // ---- The second interface: conflation of the broadcast connection ----
  // vTag: the tag whose value keys a feed message (a number, or a string of
  // up to 9 digits); 0 or "0" turns conflation off. vMinimumIntervalMs: 0 to
  // 3600000 (a number; null or empty: 0), the least time between two
  // messages of one key. While on, a data message of the broadcast
  // connection whose key has an undelivered message replaces that message's
  // text in place (router.h). VT_INT 0, or -1 when an argument is refused and
  // nothing changed. Lasts until setMultiOC's reset.
  HResult setConflation(const Variant& vTag, const Variant& vMinimumIntervalMs,  // 32
                        Variant* pRetVal);
  // VT_INT: the messages replaced since the last reset (wraps at 2^31).
  HResult getConflatedCount(Variant* pRetVal);  // 33

  // ---- Owner-thread delivery ----
  // Native hosts: deliver one slice of queued events now (the wait handle
  // stays ready while more are left); returns how many were delivered.
  int PumpEvents() { return m_session.Events().Pump(); }
  // What a host's event loop waits on (see Mailbox::WaitHandle).
  intptr_t EventWaitHandle() const;

  // Calls the slot's target with the text; -1 for an empty slot.
  int FireCallback(const std::shared_ptr<CallbackTarget>& slot, std::string_view text);

  // ---- What lies behind the face, for tools, tests and the native face ----
  Session& GetSession() { return m_session; }
  SessionSnapshot GetSnapshot() const { return m_session.Snapshot(); }

 private:
  // EventSink: the owner thread, one event at a time.
  void OnEvent(const Event& event) override;

  void StoreProxyCredentials(const Variant& vUserId, const Variant& vPassword);
  HResult GetSlot(EventKind kind, std::shared_ptr<CallbackTarget>* pVal) const;
  HResult PutSlot(EventKind kind, std::shared_ptr<CallbackTarget> newVal);
  // A port argument: a string by its decimal prefix, a number by its value.
  static int32_t PortArgument(const Variant& value);
  // The connections a connection argument names (0: both); none when refused.
  static std::vector<LinkId> ConnectionsArgument(const Variant& value);

  // One slot per event kind (owner thread only).
  std::array<std::shared_ptr<CallbackTarget>, 7> m_slots;
  // Last: it ends its threads first, while the slots still stand.
  Session m_session{*this};
};

}  // namespace corvane
