// CComponentMethods: the one object a host creates and drives.
//
// It holds every setting, the two Connection objects (interactive and
// broadcast; connection/), the seven callback slots and the counters, and exposes
// the 31 members of the script interface with their argument checks. The
// interface methods run on the owner (host) thread; the reader threads and
// the keep-alive worker share flags and counters through atomics, and the
// texts they hand over through the router's locked queue. Received messages
// reach the callbacks on the owner thread through the mailbox.
//
// Files: component_methods.cpp (construction, reset, settings, slots,
// delivery), connect.cpp (endpoints, attempts, connection sequences),
// reconnect.cpp (drops found by the readers, reconnection workers),
// proxy.cpp (proxy discovery, the tunnel request, the script's own reads),
// send.cpp (requests), readers.cpp (readers, keep-alive, shutdown) and
// receive_dispatch.cpp (everything that feeds the receive assemblers).
//
// Connection work runs on the owner thread (script calls) and on one
// reconnection worker per connection (after a drop). Each connection has one
// sequence at a time (Reconnector::OwnerScope on the owner's side); the
// settings strings that attempts read and resolution rewrites are guarded by
// m_attemptMutex, which every attempt holds.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "component/callback.h"
#include "component/variant.h"
#include "connection/connection.h"
#include "connection/reconnector.h"
#include "delivery/router.h"
#include "platform/mailbox.h"
#include "platform/proxy_settings.h"
#include "platform/socket.h"
#include "protocol/results.h"
#include "receive/feed.h"

namespace corvane {

// Event texts of the connection callbacks.
inline constexpr std::string_view kEventTrue = "true";
inline constexpr std::string_view kEventFalse = "false";
inline constexpr std::string_view kEventInteractive = "1";
inline constexpr std::string_view kEventBroadcast = "2";

class CComponentMethods : private ReceiveHost, private DeliveryHost, private ConnectionSink {
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

  // ---- Owner-thread delivery ----
  // Handlers of the notifications; each delivers queued events for one slice
  // (about 10 ms) and returns true when events are left for the next one.
  bool OnDeliverData();
  bool OnDeliverAuthentication();
  // Native hosts: deliver one slice of queued events now (the wait handle
  // stays ready while more are left); returns how many were delivered.
  int PumpEvents();
  // What a host's event loop waits on (see Mailbox::WaitHandle).
  intptr_t EventWaitHandle() const;

  // Calls the slot's target with the text; -1 for an empty slot.
  int FireCallback(const std::shared_ptr<CallbackTarget>& slot, std::string_view text);

  // ---- Receive side, as a reader thread drives it ----
  // Decoding dispatch of one chunk on the selected connection (true =
  // interactive). Serialised with the reset per connection.
  int32_t DispatchReceived(bool interactive, int32_t length, const unsigned char* data);
  void SetDataSeen(bool interactive);
  void SetReading(bool interactive, bool reading);

  // ---- Read access for tools, tests and the native face ----
  struct Snapshot {
    std::string interactiveIp, bcastIp, proxyIp, proxyUid, proxyPwd, proxyAuth;
    int32_t interactivePort, bcastPort, proxyEnable, proxyPort, ipAddrFormatFlag;
    bool proxyCredentials, multiOC, compression, encryption;
    int32_t socketReconnTime, socketReconnCount, keepAliveInterval;
    bool interactiveReading, bcastReading, loggedOn;
    int32_t interactivePacketCount, bcastPacketCount, requestCount;
  };
  Snapshot GetSnapshot() const;
  const CMessageRouter& Router() const { return m_router; }

  // Where proxy settings come from (the registry or the environment by
  // default); tests substitute their own.
  void SetProxySettingsSource(std::shared_ptr<ProxySettingsSource> source);
  // The anti-storm pause's policy, its random source ([0, 1)) and clock (ms);
  // empty functions keep the current ones. For tests and tools.
  void SetReconnectPolicy(BackoffPolicy policy, std::function<double()> random = {},
                          std::function<int64_t()> clockMs = {});
  // The pauses the selected connection's reconnection worker chose after
  // drops, oldest first (the latest 64).
  std::vector<int32_t> ReconnectPauses(bool interactive) const;
  // Whether the selected connection's worker has a run in progress or asked.
  bool ReconnectBusy(bool interactive) const;

  // What proxy discovery would have found (1 = through the proxy), for
  // replaying captured traffic without a connection attempt.
  void SetProxyEnable(int32_t value);
  // Whether the selected connection's latest opening sent a CONNECT request,
  // so that its receive side takes the proxy's answer (set by the connection
  // attempts; replay sets it for a capture made through a tunnel).
  void SetTunnelRequested(bool interactive, bool requested);
  // How long an attempt waits for the proxy's answer to its CONNECT request.
  void SetTunnelAnswerWait(int32_t milliseconds) { m_nTunnelAnswerWaitMs.store(milliseconds); }
  // The selected connection's receive side as a new connection starts it:
  // nothing held, no tunnel request (replay marks each reopening with it).
  void ResetReceive(bool interactive);

  // ---- Diagnosis ----
  // One chunk as a reader hands it to its connection's assembler, with the
  // codec flags as they stood just before (what the assembler then reads;
  // a sendRequest on the owner thread may change them in between).
  struct ReceivedChunk {
    bool interactive;
    const unsigned char* data;
    int32_t length;
    bool compression;
    bool encryption;
    // Which opening of the connection the chunk came on (Connection::Openings).
    uint32_t opening;
  };
  using ChunkObserver = std::function<void(const ReceivedChunk&)>;
  // The observer is called on the reader's thread, under that connection's
  // lock, for every chunk a reader received (both readers may call it at
  // once); it must not call back into the component. Meant to be set before
  // connecting, but safe at any time: a reader uses the observer it found
  // when the chunk arrived. An empty function removes it.
  void SetChunkObserver(ChunkObserver observer);

 private:
  // ReceiveHost (receive_dispatch.cpp): what the assemblers read and report.
  bool Compression() const override;
  bool Encryption() const override;
  bool MultiOC() const override;
  bool InteractiveReading() const override;
  void SetInteractiveReading() override;
  int SplitAndDeliver(std::string_view block) override;
  // Feeds one chunk to a connection's assembler; the caller holds that
  // connection's lock (receive_dispatch.cpp).
  int32_t FeedAssembler(Connection& connection, CReceiveAssembler& assembler, int32_t length,
                        const unsigned char* data);
  // Both assemblers back to their reset values (receive_dispatch.cpp).
  void ResetAssemblers();

  // DeliveryHost
  int32_t InteractiveDataSeen() const override { return m_interactive.DataSeen(); }
  int32_t BcastDataSeen() const override { return m_bcast.DataSeen(); }
  bool PostNotification(unsigned message) override;

  // ConnectionSink: both readers (readers.cpp, receive_dispatch.cpp).
  bool KeepReading(const Connection& connection) override;
  bool Backlogged(const Connection& connection) override;
  int32_t OnChunk(Connection& connection, CReceiveAssembler& assembler, int32_t length,
                  const unsigned char* data) override;
  void OnLost(Connection& connection, int error) override;

  // ---- Reconnection after a drop (reconnect.cpp) ----
  Reconnector& Worker(bool interactive) {
    return interactive ? m_interactiveWorker : m_bcastWorker;
  }
  // One run of the selected connection's worker: the pause, then up to
  // m_nSocketReconnCount + 1 attempts, each reported through the queue.
  void RunReconnection(bool interactive, Reconnector& worker);
  // Queues a connection event for the owner thread (any thread).
  void QueueConnectionEvent(EventKind kind, std::string_view text);
  // Owner thread, before a sequence of its own: when a connection event was
  // queued since the last catch-up, delivers every event queued now, so the
  // script sees what happened before its call ahead of the call's own events.
  void DeliverQueuedConnectionEvents();
  // A connection of the selector was made (either thread): the backoff's
  // clock starts.
  void NoteConnected(bool interactive);
  int64_t NowMs() const;
  // The connection a selector names (true = interactive).
  Connection& Pick(bool interactive) { return interactive ? m_interactive : m_bcast; }

  void Reset();
  void StoreProxyCredentials(const Variant& vUserId, const Variant& vPassword);
  // Overwrites and releases the stored password and its Base64 form (proxy.cpp).
  void WipeProxyCredentials();
  // One slice of queued events; true when some are left.
  bool DeliverSlice();
  // The callback slot an event of this kind is delivered to.
  const std::shared_ptr<CallbackTarget>& SlotFor(EventKind kind) const;
  // Fires one queued event's callback with its text up to the first zero byte.
  void Deliver(const DeliveredEvent& event);

  // ---- Connection work ----
  // worker: the reconnection worker making the attempt (its cancellation
  // abandons the connect), or none for the owner's blocking attempt.
  int32_t ConnectSocket(bool interactive, const Reconnector* worker = nullptr);
  int32_t ResolveHostName(int which);
  // Proxy discovery for the selected connection's server (proxy.cpp).
  int32_t ReadProxySettings(bool interactive = true);
  int32_t SendProxyConnect();
  // After an attempt's socket is connected: when a CONNECT request went out on
  // it, reads the proxy's answer (exactly its bytes) within the bound. 0 for a
  // tunnel the proxy accepted or no tunnel; -1 for a refusal or no answer.
  int32_t AwaitTunnelAnswer(bool interactive);
  // The proxy flag a request is framed with: 1 only when the interactive
  // connection goes to the proxy itself rather than through a tunnel.
  int32_t RequestProxyFlag() const;
  // The interactive server's name as the script gave it (the member may since
  // hold its resolved address).
  std::string InteractiveNameForProxy() const;
  int32_t ConnectInteractive();
  int32_t ConnectBroadcast();
  void ConnectBoth();
  HResult StartInteractiveReader(int32_t period);
  HResult StartBcastReader(int32_t period);
  int32_t CloseConnection(bool interactive);
  void StopThreads();
  int32_t KeepAliveProc();
  std::string BuildRequest(const Variant& vRequest);
  int32_t SendBuffer(const char* buffer, int32_t length);
  // Ends every reader and the keep-alive worker and joins them.
  void Shutdown();
  // Ends the keep-alive worker, if any, and joins it.
  void StopKeepAlive();
  // Steps of one attempt up to the non-blocking connected socket (no tunnel).
  int32_t OpenConnection(bool interactive, const Reconnector* worker = nullptr);
  HResult StartReader(bool interactive, int32_t period);
  // Sends the CONNECT request for the selected connection's server on its own
  // socket when a proxy with credentials is in use: 0, or -3.
  int32_t SendTunnelRequest(bool interactive);
  // A port argument: a string by its decimal prefix, a number by its value.
  static int32_t PortArgument(const Variant& value);

  // ---- Settings ----
  std::string m_strInteractiveIp;
  std::string m_strBcastIp;
  std::string m_strProxyIp;
  std::string m_strProxyUid;
  std::string m_strProxyPwd;
  std::string m_strProxyAuth;
  std::atomic<int32_t> m_nInteractivePort{0};
  std::atomic<int32_t> m_nBcastPort{0};
  std::atomic<int32_t> m_nProxyEnable{0};
  std::atomic<int32_t> m_nProxyPort{0};
  std::atomic<int32_t> m_nIPAddrFormatFlag{0};
  std::atomic<uint8_t> m_bProxyCredentials{0};
  std::atomic<uint8_t> m_bMultiOC{0};
  std::atomic<uint8_t> m_bCompression{1};
  std::atomic<uint8_t> m_bEncryption{1};
  std::atomic<int32_t> m_nSocketReconnTime{0};
  std::atomic<int32_t> m_nSocketReconnCount{0};
  std::atomic<int32_t> m_nKeepAliveInterval{0};

  // ---- Connection sequences ----
  std::atomic<int32_t> m_nReaderTimerPeriod{0};
  std::shared_ptr<ProxySettingsSource> m_proxySource;
  // Per connection (0 interactive, 1 broadcast): whether the latest opening
  // sent a CONNECT request, whether an attempt is under way that has not
  // succeeded, and which of an automatic configuration's proxies it uses.
  struct ProxyAttempt {
    std::atomic<bool> tunnelSent{false};
    std::atomic<bool> open{false};
    std::atomic<uint32_t> candidate{0};
    std::string candidates;  // the list the index belongs to, joined
  };
  std::array<ProxyAttempt, 2> m_proxyAttempts;
  // The interactive name the script gave and the address it was resolved to
  // (m_strInteractiveIp holds that address once resolved).
  std::string m_strInteractiveName;
  std::string m_strInteractiveDotted;
  std::atomic<int32_t> m_nTunnelAnswerWaitMs{10000};
  // Successful socket start-ups made by this object, each matched by one
  // clean-up at shutdown.
  int32_t m_nSocketStartups = 0;

  // ---- Reconnection ----
  // Held by every connection attempt: the endpoint and proxy strings that
  // an attempt reads and name resolution rewrites.
  std::mutex m_attemptMutex;
  // Guards the backoff state below.
  mutable std::mutex m_reconnectMutex;
  Backoff m_backoff[2];
  std::function<double()> m_random;
  std::function<int64_t()> m_clockMs;
  int64_t m_connectedAtMs[2] = {0, 0};
  std::vector<int32_t> m_pauses[2];
  // Set when a reader queued "false" for a drop whose reconnection the owner
  // has not taken over yet (index 0 interactive, 1 broadcast).
  std::atomic<uint8_t> m_bDropQueued[2] = {{0}, {0}};
  // Set when a connection event is queued; cleared by the owner's catch-up
  // (DeliverQueuedConnectionEvents).
  std::atomic<uint8_t> m_bConnectionEventQueued{0};

  // ---- Keep-alive worker ----
  std::thread m_hKeepAliveThread;
  // Stop request of the worker: set under m_workerMutex and announced on
  // m_workerWake, so a waiting worker ends at once.
  std::atomic<bool> m_bKeepAliveStop{false};
  std::mutex m_workerMutex;
  std::condition_variable m_workerWake;
  // Keep-alive period, fixed when the worker starts.
  int32_t m_nKeepAlivePeriod = 0;

  // ---- Counters ----
  std::atomic<int32_t> m_nPacketCount{0};
  std::atomic<int32_t> m_nRequestCount{0};

  // ---- Callback slots (owner thread only) ----
  std::shared_ptr<CallbackTarget> m_pHandleConnect;
  std::shared_ptr<CallbackTarget> m_pHandleConnectionFailure;
  std::shared_ptr<CallbackTarget> m_pHandleMaximumReConnection;
  std::shared_ptr<CallbackTarget> m_pHandleDisConnect;
  std::shared_ptr<CallbackTarget> m_pHandleBCDisConnect;
  std::shared_ptr<CallbackTarget> m_pHandleData;
  std::shared_ptr<CallbackTarget> m_pHandleAuthentication;

  // ---- Diagnosis (receive_dispatch.cpp) ----
  std::atomic<bool> m_bChunkObserved{false};
  std::mutex m_chunkObserverMutex;
  std::shared_ptr<const ChunkObserver> m_chunkObserver;

  // ---- Receive and delivery ----
  CMessageRouter m_router;
  std::unique_ptr<Mailbox> m_mailbox;
  // Owner thread only. A slice and PumpEvents hold it, so that they notice a
  // callback that destroyed the component and touch nothing of it afterwards.
  struct DeliveryLife {
    bool destroyed = false;
    uint64_t delivered = 0;  // events delivered so far
  };
  std::shared_ptr<DeliveryLife> m_life = std::make_shared<DeliveryLife>();

  // ---- The two connections (sockets, buffers, readers, assemblers) ----
  // Their readers are joined by Shutdown, in the destructor, before any
  // other member goes away.
  Connection m_interactive;
  Connection m_bcast;
  // Their workers, stopped and joined by Shutdown before the readers.
  Reconnector m_interactiveWorker{[this](Reconnector& w) { RunReconnection(true, w); }};
  Reconnector m_bcastWorker{[this](Reconnector& w) { RunReconnection(false, w); }};
};

}  // namespace corvane
