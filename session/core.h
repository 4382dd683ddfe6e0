// What the two links of a session share: the settings, the keys, the router
// with its event queue, where proxy settings come from, the reconnection
// clock, and the observer of received chunks. Every part is safe to use from
// the owner thread, both readers and both reconnection workers at once (each
// has its own lock or is atomic); the links hold a reference to it and never
// to the session above them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "codec/keys.h"
#include "connection/reconnector.h"
#include "delivery/router.h"
#include "platform/proxy_settings.h"
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

  // Called on a reader's thread for every chunk read (see ReceivedChunk); it
  // must not call back into the component. Safe to change at any time.
  void SetChunkObserver(ChunkObserver observer);
  void ObserveChunk(const ReceivedChunk& chunk);

 private:
  mutable std::mutex m_mutex;  // guards the members below
  std::shared_ptr<ProxySettingsSource> m_proxySource;
  BackoffPolicy m_policy;
  std::function<double()> m_random;
  std::function<int64_t()> m_clockMs;
  std::shared_ptr<const ChunkObserver> m_chunkObserver;
  std::atomic<bool> m_chunkObserved{false};
  std::atomic<uint8_t> m_connectionEventQueued{0};
};

}  // namespace corvane
