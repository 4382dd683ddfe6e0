// Message splitting, routing and logon interpretation (see router.h).
#include "delivery/router.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "protocol/wire.h"

namespace corvane {

using wire::kStx;

std::string GetTagValue(std::string_view message, std::string_view tag) {
  std::string_view result;
  std::string_view rest = message;
  while (!rest.empty()) {
    std::string_view pair;
    const size_t bar = rest.find('|');
    if (bar != std::string_view::npos) {
      pair = rest.substr(0, bar);
      rest.remove_prefix(bar + 1);
    } else {
      pair = rest;
      rest = {};
    }
    const size_t eq = pair.find('=');
    const std::string_view key = eq != std::string_view::npos ? pair.substr(0, eq) : pair;
    const std::string_view value = eq != std::string_view::npos ? pair.substr(eq + 1) : pair;
    // The last pair with the tag wins.
    if (key == tag) result = value;
  }
  return std::string(result);
}

LogonOutcome InterpretLogon(std::string_view message, std::string_view previousStatus) {
  LogonOutcome out;
  out.code = GetTagValue(message, wire::kTagCode);
  const std::string passwordDays = GetTagValue(message, wire::kTagPasswordDays);
  const std::string accountDays = GetTagValue(message, wire::kTagAccountDays);
  out.sessionKey = GetTagValue(message, wire::kTagSessionKey);
  out.success = true;
  const std::string& code = out.code;
  if (code == wire::kLogonSuccess) {
    out.status = "Logon success";
  } else if (code == wire::kLogonPasswordChanged) {
    out.status = "New Password Changed Successfully Password expires in " + passwordDays + " days";
  } else if (code == wire::kLogonPasswordExpires) {
    out.status = "Password expires in " + passwordDays + " days";
  } else if (code == wire::kLogonBothExpire) {
    out.status =
        "Password expires in " + passwordDays + " daysAccount expires in " + accountDays + "days";
  } else if (code == wire::kLogonAccountExpires) {
    out.status = "Account expires in " + accountDays + " days";
  } else {
    out.success = false;
    // An unknown code keeps the status text of the response before it.
    out.status = std::string(previousStatus);
    for (const wire::LogonStatusText& row : wire::kLogonFailureTexts) {
      if (code == row.code) {
        out.status = row.code == wire::kLogonServerText ? GetTagValue(message, wire::kTagServerText)
                                                        : std::string(row.text);
        break;
      }
    }
  }
  return out;
}

namespace {
// Above this many keys, those neither queued nor held nor inside their
// interval are forgotten, so a server that names ever new keys grows nothing.
constexpr size_t kKeysBeforePrune = 4096;
}  // namespace

CMessageRouter::CMessageRouter(Notifier notify, Clock clock)
    : m_notify(std::move(notify)), m_clock(std::move(clock)) {
  if (!m_clock) {
    m_clock = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
  }
}

CMessageRouter::Routed CMessageRouter::RouteBlock(std::string_view block, const Context& context) {
  Routed routed;
  try {
    // One lock for the whole block: its messages are routed one after the
    // other anyway, and a reader that took the lock per message would fight
    // the owner thread for it once per message.
    std::unique_lock<std::mutex> lock(m_mutex, std::defer_lock);
    auto count = [&] {
      if (context.packets != nullptr) context.packets->fetch_add(1);
    };
    // A block that does not begin with STX is not ours to split.
    if (block.empty() || block.front() != kStx) return routed;
    while (!block.empty()) {
      if (block.front() == kStx) {
        block.remove_prefix(1);
        count();
      }
      const size_t next = block.find(kStx);
      std::string_view message = block;
      if (next != std::string_view::npos) {
        count();
        message = block.substr(0, next);
        block.remove_prefix(next + 1);
      } else {
        block = {};
      }
      if (!lock.owns_lock()) {
        lock.lock();
        if (m_nHeld.load() != 0) ReleaseLocked(m_clock(), false);
      }
      RouteLocked(message, context, routed);
    }
  } catch (...) {
    routed.status = -1;
  }
  return routed;
}

void CMessageRouter::RouteLocked(std::string_view message, const Context& context, Routed& routed) {
  if (m_bLoggedOn.load() != 0) {
    Event event{EventKind::Data, context.link, std::string(message), 0};
    if (context.conflation != nullptr && context.conflation->On())
      ConflateLocked(std::move(event), *context.conflation);
    else
      Enqueue(std::move(event), WM_DELIVER_DATA);
    return;
  }
  LogonOutcome outcome = InterpretLogon(message, m_strLogonStatus);
  // Every response replaces the session key when encryption is on, even one
  // without tag 394.
  if (context.encryption) routed.sessionKey = std::move(outcome.sessionKey);
  m_strLogonStatus = outcome.status;
  if (outcome.success) m_bLoggedOn.store(1);
  Event event{EventKind::Authentication, context.link, {}, 0};
  event.codeLength = static_cast<uint32_t>(outcome.code.size());
  event.text.reserve(Event::kAuthPrefix.size() + outcome.code.size() + 1 + outcome.status.size());
  event.text.append(Event::kAuthPrefix).append(outcome.code).append("|").append(outcome.status);
  Enqueue(std::move(event), WM_DELIVER_AUTHENTICATION);
}

// Called with m_mutex held, so that queue order is notification order.
uint64_t CMessageRouter::Enqueue(Event event, unsigned message) {
  const size_t size = event.text.size();
  m_queue.push_back(std::move(event));
  m_nQueuedEvents.fetch_add(1);
  m_nQueuedBytes.fetch_add(size);
  // The event stays queued whether or not the post succeeds: a failed post
  // leaves m_bNotified clear, so the next event tries again.
  if (!m_bNotified && m_notify) m_bNotified = m_notify(message);
  return m_nextSeq++;
}

void CMessageRouter::ConflateLocked(Event event, const ConflationSettings& conflation) {
  std::string key = GetTagValue(event.text, conflation.tag);
  if (key.empty()) {
    Enqueue(std::move(event), WM_DELIVER_DATA);
    return;
  }
  const int64_t interval = std::max<int32_t>(conflation.minimumIntervalMs, 0);
  const int64_t now = interval > 0 ? m_clock() : 0;
  KeyState& k = m_keys[std::move(key)];
  // The key's undelivered message, held or queued, takes the new text; the
  // counts follow the text (added first, so they never dip below the truth).
  Event* undelivered = nullptr;
  if (k.held) {
    undelivered = &*k.held;
  } else if (k.seq != 0 && k.seq >= m_frontSeq && k.seq > m_barrierSeq) {
    undelivered = &m_queue[static_cast<size_t>(k.seq - m_frontSeq)];
  }
  if (undelivered != nullptr) {
    m_nQueuedBytes.fetch_add(event.text.size());
    m_nQueuedBytes.fetch_sub(undelivered->text.size());
    undelivered->text = std::move(event.text);
    m_nConflated.fetch_add(1);
    return;
  }
  if (interval > 0 && k.seq != 0 && now - k.enteredMs < interval) {
    k.dueMs = k.enteredMs + interval;
    m_due.emplace(k.dueMs, GetTagValue(event.text, conflation.tag));
    m_nQueuedEvents.fetch_add(1);
    m_nQueuedBytes.fetch_add(event.text.size());
    k.held = std::move(event);
    m_nHeld.fetch_add(1);
    return;
  }
  k.seq = Enqueue(std::move(event), WM_DELIVER_DATA);
  k.enteredMs = now;
  if (m_keys.size() > m_pruneAt) PruneKeysLocked(now, interval);
}

void CMessageRouter::ReleaseLocked(int64_t nowMs, bool all) {
  while (!m_due.empty() && (all || m_due.begin()->first <= nowMs)) {
    const auto due = m_due.begin();
    const auto it = m_keys.find(due->second);
    if (it != m_keys.end() && it->second.held) {
      KeyState& k = it->second;
      Event event = std::move(*k.held);
      k.held.reset();
      m_nHeld.fetch_sub(1);
      m_nQueuedEvents.fetch_sub(1);
      m_nQueuedBytes.fetch_sub(event.text.size());
      k.seq = Enqueue(std::move(event), WM_DELIVER_DATA);
      k.enteredMs = std::max(nowMs, due->first);
    }
    m_due.erase(due);
  }
}

void CMessageRouter::PruneKeysLocked(int64_t nowMs, int64_t intervalMs) {
  for (auto it = m_keys.begin(); it != m_keys.end();) {
    const KeyState& k = it->second;
    const bool live = k.held || k.seq >= m_frontSeq || nowMs - k.enteredMs < intervalMs;
    it = live ? std::next(it) : m_keys.erase(it);
  }
  m_pruneAt = std::max(kKeysBeforePrune, 2 * m_keys.size());
}

void CMessageRouter::ReleaseDue() {
  if (m_nHeld.load() == 0) return;
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    ReleaseLocked(m_clock(), false);
  } catch (...) {
  }
}

bool CMessageRouter::QueueEvent(Event event) {
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A barrier: what was held comes before it, and nothing queued before it
    // takes a later message's text.
    if (m_nHeld.load() != 0) ReleaseLocked(0, true);
    m_barrierSeq = Enqueue(std::move(event), WM_DELIVER_CONNECTION);
    return true;
  } catch (...) {
    return false;
  }
}

bool CMessageRouter::TakeNext(Event& event) {
  if (m_taken.empty()) {
    // Up to kTakeBatch events per lock; the owner thread's own list keeps
    // them in order for this call and the next ones (nested ones included).
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty() && m_nHeld.load() != 0) ReleaseLocked(m_clock(), false);
    if (m_queue.empty()) {
      m_bNotified = false;
      return false;
    }
    const size_t n = std::min(m_queue.size(), kTakeBatch);
    std::move(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n),
              std::back_inserter(m_taken));
    m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
    m_frontSeq += n;
  }
  event = std::move(m_taken.front());
  m_taken.pop_front();
  // Counted until taken here, so that back-pressure sees them too.
  m_nQueuedEvents.fetch_sub(1);
  m_nQueuedBytes.fetch_sub(event.text.size());
  return true;
}

bool CMessageRouter::NotificationOutstanding() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bNotified;
}

void CMessageRouter::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bLoggedOn.store(0);
  ReleaseLocked(0, true);
  m_keys.clear();
  m_nConflated.store(0);
}

std::string CMessageRouter::LogonStatus() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strLogonStatus;
}

}  // namespace corvane
