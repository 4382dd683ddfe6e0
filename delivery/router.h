// Message splitting, routing and logon interpretation (sans-I/O).
//
// Reader threads hand complete blocks of message text to SplitAndDeliver. A
// block is STX-introduced messages; each STX consumed counts one packet. Until a
// successful logon response has been seen, every message is a logon response
// and becomes an authentication event; afterwards every message is a data event.
//
// Events are queued in routing order. At most one notification is outstanding
// per router: the first event queued while none is posts one
// (WM_DELIVER_DATA, WM_DELIVER_AUTHENTICATION or WM_DELIVER_CONNECTION after
// that event's kind); the owner thread then takes events with TakeNext until
// it finds the queue empty, which makes the next event post again. A post that
// fails leaves its event queued, and the next event posts again. So every
// message is delivered exactly once and in order, and however fast messages
// arrive, the owner thread's queue holds one notification for them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr unsigned kWmUser = 0x0400;
inline constexpr unsigned WM_DELIVER_DATA = kWmUser + 101;
inline constexpr unsigned WM_DELIVER_AUTHENTICATION = kWmUser + 102;
// Announces a connection event queued off the owner thread (QueueEvent).
inline constexpr unsigned WM_DELIVER_CONNECTION = kWmUser + 103;

// Data and Authentication come from routed messages; the others are connection
// events (their callbacks: handleConnect, handleConnectionFailure,
// handleMaximumReConnection, handleDisConnect, handleBCDisConnect) that a
// reader or a reconnection worker reports to the owner thread.
enum class EventKind {
  Data,
  Authentication,
  Connect,
  ConnectionFailure,
  MaximumReConnection,
  DisConnect,
  BCDisConnect
};

struct DeliveredEvent {
  EventKind kind = EventKind::Data;
  std::string text;
};

// What the router needs from the component that owns it.
class DeliveryHost {
 public:
  virtual ~DeliveryHost() = default;
  virtual bool Encryption() const = 0;              // m_bEncryption
  virtual int32_t InteractiveDataSeen() const = 0;  // m_bInteractiveDataSeen
  virtual int32_t BcastDataSeen() const = 0;        // m_bBcastDataSeen
  // Posts a payload-free notification to the owner thread; false when lost.
  virtual bool PostNotification(unsigned message) = 0;
};

class CMessageRouter {
 public:
  explicit CMessageRouter(DeliveryHost& host);

  int SplitAndDeliver(std::string_view block);
  int SplitAndDeliver(int32_t length, std::string_view block);
  int RouteMessage(std::string text);
  int InterpretLogonResponse(std::string text);
  static std::string GetTagValue(std::string_view message, std::string_view tag);

  // Any thread: queues a connection event behind everything routed so far,
  // so the owner thread sees it in the order it happened. False only when it
  // could not be queued (memory exhaustion).
  bool QueueEvent(EventKind kind, std::string text);

  // Owner thread (one thread only): the next queued event; false when none is
  // queued, and then no notification is outstanding any more: the next event
  // queued posts one.
  bool TakeNext(DeliveredEvent& event);
  // Whether a notification is outstanding (posted, and the owner thread has
  // not yet found the queue empty since).
  bool NotificationOutstanding() const;

  // The component reset: logged off, counters 0. Queued events and the
  // status and pending texts stay.
  void Reset();

  int32_t InteractivePacketCount() const { return m_nInteractivePacketCount.load(); }
  int32_t BcastPacketCount() const { return m_nBcastPacketCount.load(); }
  bool LoggedOn() const { return m_bLoggedOn.load() != 0; }
  std::string LogonStatus() const;
  std::string PendingAuth() const;  // the last authentication text routed
  std::string PendingData() const;  // the last data text routed

  // Events routed and not yet taken by the owner thread, and their text bytes.
  // Readers stop reading while these are high, so a host that falls behind
  // slows the server down through TCP instead of growing the queue.
  size_t QueuedEvents() const { return m_nQueuedEvents.load(); }
  size_t QueuedBytes() const { return m_nQueuedBytes.load(); }

 private:
  void CountPacket();
  // With m_mutex held.
  int RouteLocked(std::string text);
  void InterpretLocked(std::string text);
  void Enqueue(EventKind kind, std::string text, unsigned message);

  DeliveryHost& m_host;
  std::atomic<uint8_t> m_bLoggedOn{0};
  std::atomic<int32_t> m_nInteractivePacketCount{0};
  std::atomic<int32_t> m_nBcastPacketCount{0};
  std::atomic<size_t> m_nQueuedEvents{0};
  std::atomic<size_t> m_nQueuedBytes{0};

  mutable std::mutex m_mutex;  // guards everything below
  std::string m_strLogonStatus;
  std::string m_strPendingAuth;
  std::string m_strPendingData;
  std::deque<DeliveredEvent> m_queue;
  bool m_bNotified = false;  // a notification is outstanding

  // Owner thread only: events moved out of m_queue in one go, still to be
  // handed out by TakeNext (and still counted in m_nQueuedEvents).
  static constexpr size_t kTakeBatch = 256;
  std::deque<DeliveredEvent> m_taken;
};

}  // namespace corvane
