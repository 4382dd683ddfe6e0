// What the two links of a session share: the settings, the keys, the router
// with its event queue, where proxy settings come from, the reconnection
// clock, the observer of received chunks, and the pacing and abandoning of
// connection attempts. Every part is safe to use from the owner thread, both
// readers and both reconnection workers at once (each has its own lock or is
// atomic); the links hold a reference to it and never to the session above
// them.
//
// Pacing and abandoning are for a host that runs components for callers it
// does not trust (the bridge runs one per page). The attempt floor is the
// least time between the starts of two connection attempts of the session:
// both links, the owner's sequences and the reconnection workers alike, so a
// reconnection count of 2^31 - 1 against a server that refuses makes one
// attempt per floor, not tens of thousands a second. 0 (the default) paces
// nothing, as an in-process host expects. Abandon is for a host that is done
// with the component while a call may still be inside a sequence (its page
// has gone, or it is stopping): from then on every attempt fails without
// connecting, a pacing wait, a connect and a proxy's answer in progress are
// given up (a wait at once, a connect within its 50 ms poll), and the owner's
// sequence returns without firing anything more. It cannot be undone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "codec/keys.h"
#include "connection/reconnector.h"
#include "delivery/router.h"
#include "platform/proxy_settings.h"
#include "platform/tls_policy.h"
#include "session/settings.h"

namespace corvane {

// One chunk as a reader hands it to its link's receive pipeline, with the
// codec flags it is read with.
struct ReceivedChunk {
  LinkId link = LinkId::Interactive;
  const unsigned char* data = nullptr;
  int32_t length = 0;
  bool compression = false;
  bool encryption = false;
  // Which opening of the connection the chunk came on (Connection::Openings).
  uint32_t opening = 0;
};
using ChunkObserver = std::function<void(const ReceivedChunk&)>;

class SessionCore {
 public:
  explicit SessionCore(CMessageRouter::Notifier notify) : router(std::move(notify)) {}

  SettingsCell settings;
  ReceiveKeys keys;
  CMessageRouter router;

  std::shared_ptr<ProxySettingsSource> ProxySource() const;
  void SetProxySource(std::shared_ptr<ProxySettingsSource> source);
  // Where the administrator's transport policy comes from (the registry or
  // the environment by default; the bridge and tests give their own).
  std::shared_ptr<TlsPolicySource> TlsPolicyFrom() const;
  void SetTlsPolicySource(std::shared_ptr<TlsPolicySource> source);

  // How long an attempt waits for the proxy's answer to its CONNECT request.
  std::atomic<int32_t> tunnelAnswerWaitMs{10000};

  // The anti-storm pause's policy, random source ([0, 1)) and clock (ms).
  void SetReconnectPolicy(BackoffPolicy policy, std::function<double()> random = {},
                          std::function<int64_t()> clockMs = {});
  BackoffPolicy Policy() const;
  double Random();
  int64_t NowMs() const;

  // Queues a connection event for the owner thread (any thread), marked so
  // that the owner's next sequence delivers it before its own events.
  void QueueConnectionEvent(Event event);
  // Owner thread: whether a connection event was queued since the last call.
  bool TakeConnectionEventMark() { return m_connectionEventQueued.exchange(0) != 0; }

  // Any thread: see the file comment. The floor applies from the next attempt.
  void SetAttemptFloor(int32_t ms);
  // Before an attempt: waits until the floor has passed since the start of
  // the session's previous attempt, and counts this one as started. False
  // without counting it when the session is abandoned (at once) or cancelled()
  // turns true (looked at every 50 ms: a worker's run the owner takes over).
  bool PaceAttempt(const std::function<bool()>& cancelled);
  void Abandon();
  bool Abandoned() const { return m_abandoned.load(); }

  // Called on a reader's thread for every chunk read (see ReceivedChunk); it
  // must not call back into the component. Safe to change at any time.
  void SetChunkObserver(ChunkObserver observer);
  void ObserveChunk(const ReceivedChunk& chunk);

 private:
  mutable std::mutex m_mutex;  // guards the members below
  std::shared_ptr<ProxySettingsSource> m_proxySource;
  std::shared_ptr<TlsPolicySource> m_tlsPolicy;
  BackoffPolicy m_policy;
  std::function<double()> m_random;
  std::function<int64_t()> m_clockMs;
  std::shared_ptr<const ChunkObserver> m_chunkObserver;
  std::atomic<bool> m_chunkObserved{false};
  std::atomic<uint8_t> m_connectionEventQueued{0};

  std::mutex m_paceMutex;  // guards the two below; m_paced waits on it
  std::condition_variable m_paced;
  std::chrono::milliseconds m_attemptFloor{0};
  std::optional<std::chrono::steady_clock::time_point> m_lastAttempt;
  std::atomic<bool> m_abandoned{false};
};

}  // namespace corvane
