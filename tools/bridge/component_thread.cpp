// The component's own thread: see component_thread.h.
#include "tools/bridge/component_thread.h"

#include <algorithm>
#include <memory>

#include "platform/tls_policy.h"

namespace corvane::bridge {
namespace {

// The system's policy with the bridge's own added: a server either names is
// reached over TLS; either can refuse plain connections.
class BridgeTlsPolicy final : public TlsPolicySource {
 public:
  explicit BridgeTlsPolicy(const BridgeConfig& config)
      : m_system(SystemTlsPolicySource()),
        m_servers(config.tlsServers),
        m_refusePlain(config.refusePlain) {}
  TlsPolicy Read() override {
    TlsPolicy policy = m_system ? m_system->Read() : TlsPolicy{};
    policy.servers.insert(policy.servers.end(), m_servers.begin(), m_servers.end());
    policy.refusePlain = policy.refusePlain || m_refusePlain;
    return policy;
  }

 private:
  const std::shared_ptr<TlsPolicySource> m_system;
  const std::vector<std::string> m_servers;
  const bool m_refusePlain;
};

}  // namespace

ComponentThread::ComponentThread(const BridgeConfig& config, MemberCaller::EventSink events,
                                 MemberCaller::Log log, const std::atomic<size_t>& queuedBytes)
    : m_config(config),
      m_eventSink(std::move(events)),
      m_log(std::move(log)),
      m_queuedBytes(queuedBytes) {}

ComponentThread::~ComponentThread() {
  Stop();
  CloseSignal();
}

bool ComponentThread::Start(std::function<void(bool made)> ready) {
  if (!OpenSignal()) return false;
  m_thread = std::thread([this, ready = std::move(ready)] { Main(ready); });
  return true;
}

void ComponentThread::Run(Work work) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_work.push_back(std::move(work));
  }
  Signal();
}

void ComponentThread::Wake() {
  // Only a thread waiting while held needs the signal; the store of
  // m_waitingHeld comes before its last look at the count (both sequentially
  // consistent), so a fall in the count is never missed.
  if (m_waitingHeld.load()) Signal();
}

void ComponentThread::Hold() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hold = true;
    if (m_core != nullptr) m_core->Abandon();
  }
  Signal();
}

void ComponentThread::Stop() {
  if (!m_thread.joinable()) return;
  Hold();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  Signal();
  m_thread.join();
}

bool ComponentThread::Held() const { return m_hold.load() || m_queuedBytes.load() >= Bound(); }

size_t ComponentThread::Bound() const {
  // A conflated feed waits in the component's queue, where a later message
  // of a key replaces the one waiting, rather than in the page's.
  if (m_component && m_component->GetSession().CurrentSettings()->conflation.On())
    return std::min(m_config.writeQueueBytes, kConflatedWriteQueueBytes);
  return m_config.writeQueueBytes;
}

bool ComponentThread::Stopping() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stop;
}

void ComponentThread::Deliver(std::string_view name, const std::string& text,
                              std::string_view key) {
  // Inside a call or a delivery: the event waits for room in the page's
  // queue, as the feed does.
  while (!m_hold.load() && m_queuedBytes.load() >= Bound() && !Stopping()) {
    m_waitingHeld = true;
    if (Held()) Wait(true);
    m_waitingHeld = false;
  }
  if (m_hold.load()) return;  // the page is gone
  m_eventSink(name, text, key);
}

void ComponentThread::Main(std::function<void(bool)> ready) {
  m_component = CComponentMethods::Create();
  if (m_component) {
    SessionCore& core = m_component->GetSession().Core();
    core.SetAttemptFloor(m_config.attemptFloorMs);
    core.SetTlsPolicySource(std::make_shared<BridgeTlsPolicy>(m_config));
    m_caller.emplace(
        *m_component, m_config,
        [this](std::string_view name, const std::string& text, std::string_view key) {
          Deliver(name, text, key);
        },
        m_log);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_core = &core;
    if (m_hold) core.Abandon();  // the page went while it was being made
  }
  ready(m_component != nullptr);
  if (!m_component) return;

  for (;;) {
    std::deque<Work> work;
    bool stop;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      work.swap(m_work);
      stop = m_stop;
    }
    for (Work& w : work) {
      if (m_hold.load()) break;  // the page is gone: the calls still waiting are not made
      try {
        w(*m_caller);
      } catch (const std::exception& e) {
        m_log(std::string("a call failed: ") + e.what());
      }
    }
    if (stop) break;
    if (!work.empty()) continue;  // more may have come while it ran

    if (Held()) {
      m_waitingHeld = true;
      if (Held()) Wait(true);
      m_waitingHeld = false;
      continue;
    }
    // One notification at a time, so that work and the bound are looked at
    // between slices of events.
    if (DispatchOne()) continue;
    Wait(false);
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_core = nullptr;
  }
  m_caller.reset();
  m_component.reset();
}

}  // namespace corvane::bridge
