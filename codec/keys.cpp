#include "codec/keys.h"

#include <mutex>

namespace corvane {

std::atomic<int32_t> g_bUseFixedKey{1};

namespace {
std::mutex& SessionKeyMutex() {
  static std::mutex m;
  return m;
}
std::string& SessionKey() {
  static std::string key;
  return key;
}
}  // namespace

std::string GetSessionKey() {
  std::lock_guard<std::mutex> lock(SessionKeyMutex());
  return SessionKey();
}

void SetSessionKey(std::string key) {
  std::lock_guard<std::mutex> lock(SessionKeyMutex());
  SessionKey() = std::move(key);
}

std::string CurrentReceiveKey() {
  return g_bUseFixedKey.load() == 1 ? std::string(g_strFixedKey) : GetSessionKey();
}

}  // namespace corvane
