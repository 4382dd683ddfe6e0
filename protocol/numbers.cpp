// Decimal prefixes and dotted IPv4 addresses: see numbers.h.
#include "protocol/numbers.h"

#include <climits>

namespace corvane {
namespace {

// The C locale's blanks; the component never changes the locale.
bool IsBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool ReadPart(std::string_view part, const DottedForm& form, uint32_t& value) {
  if (form.maxPartLength != 0 && part.size() > form.maxPartLength) return false;
  if (part.empty()) return form.emptyParts;
  bool negative = false;
  if (form.leadingMinus && part.front() == '-') {
    negative = true;
    part.remove_prefix(1);
    if (part.empty()) return false;
  }
  uint32_t v = 0;
  for (char c : part) {
    if (!IsDigit(c)) return false;
    // Only forms without a length limit can get this far with many digits,
    // and they take no value: wrapping is harmless.
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (form.partsUpTo255 && !negative && v > 255) return false;
  value = negative ? 0 : v;
  return true;
}

}  // namespace

int64_t DecimalPrefix64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    if (value < 100000000000000000) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

int32_t DecimalPrefix32(std::string_view text) {
  const int64_t value = DecimalPrefix64(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool ParseDottedIPv4(std::string_view text, const DottedForm& form, uint32_t* value) {
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = text.find('.');
    // The last part runs to the end; the others end at their dot.
    if ((part < 3) == (dot == std::string_view::npos)) return false;
    uint32_t partValue = 0;
    if (!ReadPart(text.substr(0, dot), form, partValue)) return false;
    address = (address << 8) | (partValue & 0xFF);
    text = part < 3 ? text.substr(dot + 1) : std::string_view();
  }
  if (value != nullptr) *value = address;
  return true;
}

std::string FormatDottedIPv4(const unsigned char* bytes) {
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

}  // namespace corvane
