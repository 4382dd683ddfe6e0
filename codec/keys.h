// The key texts a session's encrypted traffic is read with.
//
// A key text gives the two 8-byte keys of two-key triple DES. The fixed key
// is built in; the session key arrives in tag 394 of a logon response. A
// session reads with the fixed key until its first encrypted receive call has
// ended, and with the session key from then on. Each component has its own
// keys: a second page in the same process starts with the fixed key like the
// first, and its logon never replaces the key the first one reads with.
//
// Both receive threads of a session read the keys and logon interpretation on
// either of them may replace the session key, so access is locked. The
// session key is overwritten, not just released, when it is replaced and when
// the keys go.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/secure_wipe.h"
#include "protocol/wire.h"

namespace corvane {

inline constexpr std::string_view g_strFixedKey = wire::kFixedKey;

class ReceiveKeys {
 public:
  // Whether the fixed key is still the one in use.
  bool UsingFixedKey() const;
  // The first encrypted call has ended: the session key from now on. Never
  // undone.
  void FixedKeyDone();
  // The key text a block marked as under the fixed key (or not) is read with.
  std::string KeyFor(bool fixedKey) const;
  void SetSessionKey(std::string_view key);
  std::string SessionKey() const;

 private:
  mutable std::mutex m_mutex;
  bool m_usingFixed = true;
  Secret m_session;
};

}  // namespace corvane
