// Message splitting, routing and logon interpretation (see router.h).
#include "delivery/router.h"

#include <algorithm>
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

CMessageRouter::CMessageRouter(Notifier notify) : m_notify(std::move(notify)) {}

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
      if (!lock.owns_lock()) lock.lock();
      RouteLocked(message, context, routed);
    }
  } catch (...) {
    routed.status = -1;
  }
  return routed;
}

void CMessageRouter::RouteLocked(std::string_view message, const Context& context, Routed& routed) {
  if (m_bLoggedOn.load() != 0) {
    Enqueue(Event{EventKind::Data, context.link, std::string(message), 0}, WM_DELIVER_DATA);
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
void CMessageRouter::Enqueue(Event event, unsigned message) {
  const size_t size = event.text.size();
  m_queue.push_back(std::move(event));
  m_nQueuedEvents.fetch_add(1);
  m_nQueuedBytes.fetch_add(size);
  // The event stays queued whether or not the post succeeds: a failed post
  // leaves m_bNotified clear, so the next event tries again.
  if (!m_bNotified && m_notify) m_bNotified = m_notify(message);
}

bool CMessageRouter::QueueEvent(Event event) {
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    Enqueue(std::move(event), WM_DELIVER_CONNECTION);
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
    if (m_queue.empty()) {
      m_bNotified = false;
      return false;
    }
    const size_t n = std::min(m_queue.size(), kTakeBatch);
    std::move(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n),
              std::back_inserter(m_taken));
    m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
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
}

std::string CMessageRouter::LogonStatus() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strLogonStatus;
}

}  // namespace corvane
