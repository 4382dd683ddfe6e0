// What the fuzz targets share: a check that stops the run with a message, and
// a reader that takes typed values off the front of a fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant is a finding: abort, which libFuzzer reports as a crash
// and saves the input for.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (false)

namespace corvane::fuzz {

// Reads values off the front of the input; past its end every value is 0 and
// every byte run empty, so a short input is a valid (short) program.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}

  bool Empty() const { return m_pos >= m_size; }
  size_t Remaining() const { return m_size - m_pos; }

  uint8_t Byte() { return Empty() ? 0 : m_data[m_pos++]; }
  bool Bit() { return (Byte() & 1) != 0; }
  // Big-endian, so that a dictionary's digits and a length read alike.
  uint16_t U16() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }

  // Up to n bytes (fewer at the end of the input).
  std::string_view Bytes(size_t n) {
    if (n > Remaining()) n = Remaining();
    std::string_view out(reinterpret_cast<const char*>(m_data + m_pos), n);
    m_pos += n;
    return out;
  }
  std::string_view Rest() { return Bytes(Remaining()); }
  // A run of bytes up to (not including) the terminator, or to the end; the
  // terminator is consumed.
  std::string_view Until(char terminator) {
    const std::string_view rest(reinterpret_cast<const char*>(m_data + m_pos), Remaining());
    const size_t end = rest.find(terminator);
    if (end == std::string_view::npos) {
      m_pos = m_size;
      return rest;
    }
    m_pos += end + 1;
    return rest.substr(0, end);
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

inline const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace corvane::fuzz
