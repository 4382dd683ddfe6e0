// Windows-1252 <-> UTF-8: see text.h.
#include "tools/bridge/text.h"

#include <cstdint>

namespace corvane::bridge {

namespace {

// Characters of the bytes 0x80 to 0x9F.
constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

char ToNarrow(uint32_t code) {
  if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<char>(code);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == code) return static_cast<char>(0x80 + i);
  return '?';
}

}  // namespace

std::string NarrowToUtf8(std::string_view narrow) {
  std::string out;
  out.reserve(narrow.size());
  for (char ch : narrow) {
    const auto byte = static_cast<unsigned char>(ch);
    AppendUtf8(out, byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte);
  }
  return out;
}

std::string Utf8ToNarrow(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    // The sequence's length by its lead byte; 0 for a byte no sequence
    // starts with (a continuation byte, 0xC0, 0xC1, 0xF5 and above).
    const size_t length = lead < 0x80   ? 1
                          : lead < 0xC2 ? 0
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4
                                        : 0;
    uint32_t code = length <= 1 ? lead : lead & (0x7Fu >> length);
    size_t k = 1;
    for (; k < length && i + k < utf8.size(); ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) break;
      code = (code << 6) | (next & 0x3Fu);
    }
    // A broken sequence is one '?' for its lead byte and the continuation
    // bytes read with it; what follows is read afresh.
    if (length == 0 || k < length) {
      out.push_back('?');
      i += k;
      continue;
    }
    // Overlong forms and surrogates name no character of their own.
    const bool valid = !(length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) &&
                       !(length == 4 && (code < 0x10000 || code > 0x10FFFF));
    out.push_back(valid ? ToNarrow(code) : '?');
    i += length;
  }
  return out;
}

nlohmann::json ParsePageJson(std::string_view frame, int maxDepth) {
  using json = nlohmann::json;
  bool tooDeep = false;
  const json::parser_callback_t nesting = [&tooDeep, maxDepth](int depth, json::parse_event_t event,
                                                               json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= maxDepth)
      tooDeep = true;
    return !tooDeep;
  };
  json message = json::parse(frame, nesting, false);
  return tooDeep ? json(json::value_t::discarded) : message;
}

}  // namespace corvane::bridge
