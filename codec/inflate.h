// zlib payloads of compressed frames back to text.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The inflated bytes up to the first zero byte; empty for an absent payload,
// a length of 0 or less, or when nothing inflates.
std::string InflateText(const unsigned char* payload, int32_t length);

}  // namespace corvane
