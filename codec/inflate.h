// zlib payloads of compressed frames back to text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane {

// Largest text one payload may inflate to; a longer one is cut here. Far above
// any message (a frame payload is at most 99 999 bytes), it only stops a
// hostile stream from using unbounded memory.
inline constexpr size_t kMaxInflatedText = size_t{64} * 1024 * 1024;

// The inflated bytes up to the first zero byte; empty for an absent payload,
// a length of 0 or less, or when nothing inflates.
std::string InflateText(const unsigned char* payload, int32_t length);

}  // namespace corvane
