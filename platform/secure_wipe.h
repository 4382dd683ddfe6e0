// Overwriting secrets before their memory is given back.
//
// A plain clear() or a new assignment leaves the old characters in freed heap
// memory (and a dead store before a free may be optimised away). The writes
// here go through a volatile pointer, so they are made; then the buffer is
// released. Secret is a string that does this whenever it lets go of its
// characters: every copy of a credential is a Secret, so every copy is wiped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace corvane {

inline void SecureWipe(void* data, size_t size) {
  volatile char* p = static_cast<char*>(data);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

inline void SecureWipe(std::string& secret) {
  if (secret.capacity() > 0) {
    // data() of a non-const string is writable up to capacity().
    secret.resize(secret.capacity());
    SecureWipe(secret.data(), secret.size());
  }
  secret.clear();
  secret.shrink_to_fit();
}

class Secret {
 public:
  Secret() = default;
  // Takes the characters and wipes what the source kept of them (a short
  // string keeps its characters inside the moved-from object).
  explicit Secret(std::string&& value) : m_value(std::move(value)) { SecureWipe(value); }
  explicit Secret(std::string_view value) : m_value(value) {}
  Secret(const Secret& other) : m_value(other.m_value) {}
  Secret(Secret&& other) noexcept : m_value(std::move(other.m_value)) { SecureWipe(other.m_value); }
  Secret& operator=(const Secret& other) {
    if (this != &other) {
      SecureWipe(m_value);
      m_value = other.m_value;
    }
    return *this;
  }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      SecureWipe(m_value);
      m_value = std::move(other.m_value);
      SecureWipe(other.m_value);
    }
    return *this;
  }
  ~Secret() { SecureWipe(m_value); }

  std::string_view View() const { return m_value; }
  bool Empty() const { return m_value.empty(); }
  void Wipe() { SecureWipe(m_value); }

 private:
  std::string m_value;
};

}  // namespace corvane
