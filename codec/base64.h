// Base64 (RFC 2045 alphabet, "=" padding, no line breaks).
#pragma once

#include <string>
#include <string_view>

namespace corvane {

std::string Base64Encode(std::string_view bytes);

}  // namespace corvane
