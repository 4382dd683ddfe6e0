// Event text escaping: see event_text.h.
#include "tools/common/event_text.h"

namespace corvane::tools {

std::string EscapeEventText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte >= 0x20 && byte <= 0x7e) {
      out.push_back(ch);
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0f]);
    }
  }
  return out;
}

}  // namespace corvane::tools
