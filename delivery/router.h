// Message splitting, routing and logon interpretation, and the ordered event
// queue of one session (sans-I/O: the caller brings the blocks and takes the
// events).
//
// A block is STX-introduced messages; each STX consumed counts one packet on
// the counter the caller names. Until a successful logon response has been
// seen, every message is a logon response and becomes an authentication
// event; afterwards every message is a data event. Routing a block says what
// the caller must apply before it decodes the next one: the session key of a
// logon response read while encryption is on.
//
// Events are queued in routing order, connection events included (QueueEvent,
// from any thread). At most one notification is outstanding per router: the
// first event queued while none is calls the notifier (WM_DELIVER_DATA,
// WM_DELIVER_AUTHENTICATION or WM_DELIVER_CONNECTION after that event's
// kind); the owner thread then takes events with TakeNext until it finds the
// queue empty, which makes the next event notify again. A failed notification
// leaves its event queued, and the next event notifies again. So every
// message is delivered exactly once and in order, and however fast messages
// arrive, the owner thread holds one notification for them.
//
// Threads: RouteBlock and QueueEvent from any thread (both readers of a
// session at once); TakeNext from the owner thread only. One lock covers the
// logged-on test, the interpretation and the push onto the queue, so the
// queue keeps the order in which messages were routed.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "delivery/event.h"

namespace corvane {

inline constexpr unsigned kWmUser = 0x0400;
inline constexpr unsigned WM_DELIVER_DATA = kWmUser + 101;
inline constexpr unsigned WM_DELIVER_AUTHENTICATION = kWmUser + 102;
// Announces a connection event queued off the owner thread (QueueEvent).
inline constexpr unsigned WM_DELIVER_CONNECTION = kWmUser + 103;

// A logon response read: its code (tag 70), the status text it leaves (the
// previous one for an unknown code), whether it logs on, and the session key
// it carries (tag 394; empty when absent).
struct LogonOutcome {
  std::string code;
  std::string status;
  bool success = false;
  std::string sessionKey;
};
LogonOutcome InterpretLogon(std::string_view message, std::string_view previousStatus);
// The value of the last pair "tag=value" of a message; empty when absent. A
// pair without "=" is its own key and value.
std::string GetTagValue(std::string_view message, std::string_view tag);

class CMessageRouter {
 public:
  // Called with the router's lock held: posts a payload-free notification to
  // the owner thread, false when it is lost.
  using Notifier = std::function<bool(unsigned message)>;
  explicit CMessageRouter(Notifier notify);

  struct Context {
    LinkId link = LinkId::Interactive;        // the connection the block came on
    bool encryption = false;                  // a logon response then sets the session key
    std::atomic<int32_t>* packets = nullptr;  // counts each STX; none: not counted
  };
  struct Routed {
    int status = 0;  // -1 when routing stopped early (memory exhaustion)
    // The session key of the last logon response read with encryption on.
    std::optional<std::string> sessionKey;
  };
  Routed RouteBlock(std::string_view block, const Context& context);

  // Any thread: queues a connection event behind everything routed so far.
  // False only when it could not be queued (memory exhaustion).
  bool QueueEvent(Event event);

  // Owner thread: the next queued event; false when none is queued, and then
  // no notification is outstanding any more.
  bool TakeNext(Event& event);
  bool NotificationOutstanding() const;

  // The session's reset: logged off. Queued events and the status text stay.
  void Reset();

  bool LoggedOn() const { return m_bLoggedOn.load() != 0; }
  std::string LogonStatus() const;

  // Events routed and not yet taken, and their text bytes: readers stop
  // reading while these are high, so a host that falls behind slows the
  // server down through TCP instead of growing the queue.
  size_t QueuedEvents() const { return m_nQueuedEvents.load(); }
  size_t QueuedBytes() const { return m_nQueuedBytes.load(); }

 private:
  // With m_mutex held.
  void RouteLocked(std::string_view message, const Context& context, Routed& routed);
  void Enqueue(Event event, unsigned message);

  Notifier m_notify;
  std::atomic<uint8_t> m_bLoggedOn{0};
  std::atomic<size_t> m_nQueuedEvents{0};
  std::atomic<size_t> m_nQueuedBytes{0};

  mutable std::mutex m_mutex;  // guards everything below
  std::string m_strLogonStatus;
  std::deque<Event> m_queue;
  bool m_bNotified = false;  // a notification is outstanding

  // Owner thread only: events moved out of m_queue in one go, still to be
  // handed out by TakeNext (and still counted in m_nQueuedEvents).
  static constexpr size_t kTakeBatch = 256;
  std::deque<Event> m_taken;
};

}  // namespace corvane
