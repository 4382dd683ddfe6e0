// Overwriting secrets before their memory is given back.
//
// A plain clear() or a new assignment leaves the old characters in freed heap
// memory (and a dead store before a free may be optimised away). The writes
// here go through a volatile pointer, over the string's whole capacity, so
// they are made; then the buffer is released.
#pragma once

#include <cstddef>
#include <string>

namespace corvane {

inline void SecureWipe(std::string& secret) {
  if (secret.capacity() > 0) {
    // data() of a non-const string is writable up to capacity().
    secret.resize(secret.capacity());
    volatile char* p = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
  }
  secret.clear();
  secret.shrink_to_fit();
}

}  // namespace corvane
