#include "codec/keys.h"

namespace corvane {

bool ReceiveKeys::UsingFixedKey() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_usingFixed;
}

void ReceiveKeys::FixedKeyDone() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_usingFixed = false;
}

std::string ReceiveKeys::KeyFor(bool fixedKey) const {
  if (fixedKey) return std::string(g_strFixedKey);
  return SessionKey();
}

void ReceiveKeys::SetSessionKey(std::string_view key) {
  Secret next{std::string(key)};
  std::lock_guard<std::mutex> lock(m_mutex);
  m_session = std::move(next);
}

std::string ReceiveKeys::SessionKey() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::string(m_session.View());
}

}  // namespace corvane
