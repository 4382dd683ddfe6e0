// Message splitting, routing and logon interpretation.
//
// A block is STX (0x02) introduced messages; every STX consumed counts one
// packet, on the interactive counter once the interactive connection has seen
// data, else on the broadcast one once that has. Routing happens under m_mutex:
// the logged-on test, the logon interpretation (which may log on) and the push
// onto the queue with its notification form one step, so the queue, and with
// it the notifications, keep the order in which messages were routed even when
// both reader threads deliver at once. One notification stands for everything
// queued until the owner thread, taking events with TakeNext, finds the queue
// empty; only then does the next event post again.
#include "delivery/router.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "codec/keys.h"
#include "protocol/wire.h"

namespace corvane {

using wire::kStx;

CMessageRouter::CMessageRouter(DeliveryHost& host) : m_host(host) {}

void CMessageRouter::CountPacket() {
  if (m_host.InteractiveDataSeen() == 1) {
    m_nInteractivePacketCount.fetch_add(1);
  } else if (m_host.BcastDataSeen() == 1) {
    m_nBcastPacketCount.fetch_add(1);
  }
}

int CMessageRouter::SplitAndDeliver(std::string_view block) {
  try {
    // One lock for the whole block: its messages are routed one after the
    // other anyway, and a reader that took the lock per message would fight
    // the owner thread for it once per message.
    std::unique_lock<std::mutex> lock(m_mutex, std::defer_lock);
    bool started = false;
    while (!block.empty()) {
      if (block.front() == kStx) {
        block.remove_prefix(1);
        CountPacket();
        started = true;
      }
      // A block that does not begin with STX is not ours to split.
      if (!started) return 0;
      const size_t next = block.find(kStx);
      if (next != std::string_view::npos) {
        CountPacket();
        const std::string_view message = block.substr(0, next);
        block.remove_prefix(next + 1);
        if (!lock.owns_lock()) lock.lock();
        RouteLocked(std::string(message));
      } else {
        const std::string_view message = block;
        block = {};
        if (!lock.owns_lock()) lock.lock();
        RouteLocked(std::string(message));
      }
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

int CMessageRouter::SplitAndDeliver(int32_t length, std::string_view block) {
  if (length < 0) length = 0;
  return SplitAndDeliver(block.substr(0, std::min(block.size(), static_cast<size_t>(length))));
}

int CMessageRouter::RouteMessage(std::string text) {
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    return RouteLocked(std::move(text));
  } catch (...) {
    return -1;
  }
}

int CMessageRouter::RouteLocked(std::string text) {
  try {
    if (m_bLoggedOn.load() == 0) {
      InterpretLocked(std::move(text));
      return 0;
    }
    m_strPendingData = text;
    Enqueue(EventKind::Data, std::move(text), WM_DELIVER_DATA);
    return 0;
  } catch (...) {
    return -1;
  }
}

int CMessageRouter::InterpretLogonResponse(std::string text) {
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    InterpretLocked(std::move(text));
  } catch (...) {
  }
  return 0;
}

void CMessageRouter::InterpretLocked(std::string text) {
  const std::string code = GetTagValue(text, wire::kTagCode);
  const std::string passwordDays = GetTagValue(text, wire::kTagPasswordDays);
  const std::string serverText = GetTagValue(text, wire::kTagServerText);
  const std::string accountDays = GetTagValue(text, wire::kTagAccountDays);

  // Every response replaces the session key when encryption is on, even one
  // without tag 394.
  if (m_host.Encryption()) SetSessionKey(GetTagValue(text, wire::kTagSessionKey));

  bool success = true;
  if (code == wire::kLogonSuccess) {
    m_strLogonStatus = "Logon success";
  } else if (code == wire::kLogonPasswordChanged) {
    m_strLogonStatus =
        "New Password Changed Successfully Password expires in " + passwordDays + " days";
  } else if (code == wire::kLogonPasswordExpires) {
    m_strLogonStatus = "Password expires in " + passwordDays + " days";
  } else if (code == wire::kLogonBothExpire) {
    m_strLogonStatus =
        "Password expires in " + passwordDays + " daysAccount expires in " + accountDays + "days";
  } else if (code == wire::kLogonAccountExpires) {
    m_strLogonStatus = "Account expires in " + accountDays + " days";
  } else {
    success = false;
    for (const wire::LogonStatusText& row : wire::kLogonFailureTexts) {
      if (code == row.code) {
        m_strLogonStatus = row.code == wire::kLogonServerText ? serverText : std::string(row.text);
        break;
      }
    }
  }
  if (success) m_bLoggedOn.store(1);

  m_strPendingAuth = "true|" + code + "|" + m_strLogonStatus;
  Enqueue(EventKind::Authentication, m_strPendingAuth, WM_DELIVER_AUTHENTICATION);
}

std::string CMessageRouter::GetTagValue(std::string_view message, std::string_view tag) {
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

// Called with m_mutex held, so that queue order is notification order.
void CMessageRouter::Enqueue(EventKind kind, std::string text, unsigned message) {
  const size_t size = text.size();
  m_queue.push_back(DeliveredEvent{kind, std::move(text)});
  m_nQueuedEvents.fetch_add(1);
  m_nQueuedBytes.fetch_add(size);
  // The event stays queued whether or not the post succeeds: a failed post
  // leaves m_bNotified clear, so the next event tries again.
  if (!m_bNotified) m_bNotified = m_host.PostNotification(message);
}

bool CMessageRouter::QueueEvent(EventKind kind, std::string text) {
  try {
    std::lock_guard<std::mutex> lock(m_mutex);
    Enqueue(kind, std::move(text), WM_DELIVER_CONNECTION);
    return true;
  } catch (...) {
    return false;
  }
}

bool CMessageRouter::TakeNext(DeliveredEvent& event) {
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
  m_nInteractivePacketCount.store(0);
  m_nBcastPacketCount.store(0);
}

std::string CMessageRouter::LogonStatus() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strLogonStatus;
}

std::string CMessageRouter::PendingAuth() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strPendingAuth;
}

std::string CMessageRouter::PendingData() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strPendingData;
}

}  // namespace corvane
