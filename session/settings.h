// A session's settings: what the script's setters store and every connection
// attempt, reader and request reads.
//
// The owner thread writes them (the setters, the reset, sendRequest's codec
// flags); readers, reconnection workers and the owner read them. Nobody reads
// a field while another thread writes it: the current settings are an
// immutable value, and a change publishes a changed copy. A reader takes the
// value current at that moment and keeps it for the step at hand (an
// attempt, a chunk), so the fields it reads always belong together.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/router.h"
#include "platform/secure_wipe.h"

namespace corvane {

// One connection's transport security, as the script set it.
struct TlsSettings {
  bool on = false;                // TLS with full verification
  std::vector<std::string> pins;  // "sha256/<base64>", checked in addition
};

struct Settings {
  bool multiOC = false;         // the broadcast connection is used
  bool compression = true;      // received traffic is compressed frames
  bool encryption = true;       // received traffic is enciphered
  int32_t reconnectTimeMs = 0;  // between a worker's attempts after a drop
  int32_t reconnectCount = 0;   // further attempts after a failed one
  int32_t keepAliveIntervalMs = 0;
  int32_t ipAddrFormatFlag = 0;  // 1: addresses are dotted and used as given
  bool proxyCredentials = false;
  Secret proxyUser;
  Secret proxyPassword;
  Secret proxyAuth;                // Base64 of user ":" password
  std::array<TlsSettings, 2> tls;  // by LinkId
  // The broadcast connection's data messages only; off by default.
  ConflationSettings conflation;
};

class SettingsCell {
 public:
  SettingsCell() : m_current(std::make_shared<const Settings>()) {}

  std::shared_ptr<const Settings> Get() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current;
  }

  // Publishes change(copy of the current settings). Owner thread; a change
  // runs no code of anyone else's.
  template <class F>
  void Update(F&& change) {
    auto next = std::make_shared<Settings>(*Get());
    change(*next);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current = std::move(next);
  }

 private:
  mutable std::mutex m_mutex;
  std::shared_ptr<const Settings> m_current;
};

}  // namespace corvane
