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
// Conflation (opt-in, per block: Context::conflation): a data message whose
// key (the value of the configured tag) already has a message in the queue
// that the owner thread has not taken replaces that message's text in place,
// so the key keeps the position of its first arrival and the page sees its
// latest value, not a backlog. Only data messages with the tag are conflated;
// logon responses, connection events and messages without the tag never are,
// and a connection event is a barrier: nothing queued before it is replaced
// by what comes after it. With a minimum interval, a key enters the queue at
// most once per interval: a message of a key that entered less than the
// interval ago, and whose entry has been taken, is held (conflated with the
// key's later ones) until the interval has passed, then queued behind what
// is queued by then (ReleaseDue, RouteBlock, TakeNext). Every replaced
// message counts once in ConflatedCount.
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
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

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

// What conflation keys on: the tag whose value names a message's key (55,
// the instrument, say); an empty tag is off. minimumIntervalMs: 0, or the
// least time between two entries of one key into the queue.
struct ConflationSettings {
  std::string tag;
  int32_t minimumIntervalMs = 0;
  bool On() const { return !tag.empty(); }
};

class CMessageRouter {
 public:
  // Called with the router's lock held: posts a payload-free notification to
  // the owner thread, false when it is lost.
  using Notifier = std::function<bool(unsigned message)>;
  // Milliseconds of a monotonic clock (the minimum interval's).
  using Clock = std::function<int64_t()>;
  explicit CMessageRouter(Notifier notify, Clock clock = {});

  struct Context {
    LinkId link = LinkId::Interactive;        // the connection the block came on
    bool encryption = false;                  // a logon response then sets the session key
    std::atomic<int32_t>* packets = nullptr;  // counts each STX; none: not counted
    // The data messages of this block are conflated by these; none: not.
    const ConflationSettings* conflation = nullptr;
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

  // The session's reset: logged off, the conflated count back to 0. Queued
  // events and the status text stay; held messages are queued now.
  void Reset();

  // Any thread: queues the held messages whose interval has passed. Cheap
  // when none are held (the broadcast reader calls it on every poll).
  void ReleaseDue();
  // Messages replaced by a later one of their key (wraps at 2^31).
  int32_t ConflatedCount() const { return m_nConflated.load(); }

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
  // Returns the event's sequence number.
  uint64_t Enqueue(Event event, unsigned message);
  // A data message under conflation: replaced, held or queued.
  void ConflateLocked(Event event, const ConflationSettings& conflation);
  void ReleaseLocked(int64_t nowMs, bool all);
  void PruneKeysLocked(int64_t nowMs, int64_t intervalMs);

  Notifier m_notify;
  Clock m_clock;
  std::atomic<uint8_t> m_bLoggedOn{0};
  std::atomic<size_t> m_nQueuedEvents{0};
  std::atomic<size_t> m_nQueuedBytes{0};
  std::atomic<int32_t> m_nConflated{0};
  std::atomic<size_t> m_nHeld{0};

  mutable std::mutex m_mutex;  // guards everything below
  std::string m_strLogonStatus;
  std::deque<Event> m_queue;
  bool m_bNotified = false;  // a notification is outstanding

  // Conflation. Every event pushed onto m_queue takes the next sequence
  // number; m_queue.front() has m_frontSeq, so the entry of sequence s is at
  // s - m_frontSeq while s >= m_frontSeq (after that the owner has taken it).
  struct KeyState {
    uint64_t seq = 0;           // its last entry into the queue (0: none)
    int64_t enteredMs = 0;      // when that entry was made
    std::optional<Event> held;  // waiting for the interval (counted queued)
    int64_t dueMs = 0;
  };
  uint64_t m_nextSeq = 1;
  uint64_t m_frontSeq = 1;
  uint64_t m_barrierSeq = 0;  // the last connection event's: nothing before it is replaced
  std::unordered_map<std::string, KeyState> m_keys;
  std::multimap<int64_t, std::string> m_due;  // held keys by due time
  size_t m_pruneAt = 4096;

  // Owner thread only: events moved out of m_queue in one go, still to be
  // handed out by TakeNext (and still counted in m_nQueuedEvents).
  static constexpr size_t kTakeBatch = 256;
  std::deque<Event> m_taken;
};

}  // namespace corvane
