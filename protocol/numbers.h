// Numbers in text: decimal prefixes and dotted IPv4 addresses.
//
// The same reading serves the wire (body lengths, frame lengths), the script
// interface (ports, the "-99" marker) and the proxy settings; where readers
// have always accepted different forms, each keeps its own through a named
// form below rather than a copy of the loop.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// The decimal value of the digits at the start of text, after any blanks
// (space, \t \n \v \f \r) and one optional '+' or '-'; 0 when no digit
// follows. Digits stop adding once the value reaches 10^17, so absurd lengths
// give a large value rather than an overflow. Nothing after the digits is
// looked at.
int64_t DecimalPrefix64(std::string_view text);

// The same value held to the int32 limits (the script interface's ports and
// markers, the proxy port).
int32_t DecimalPrefix32(std::string_view text);

// Which dotted IPv4 forms a reader accepts. Every form wants exactly four
// parts separated by three dots and nothing before or after them.
struct DottedForm {
  size_t maxPartLength;  // characters a part may have; 0 for any number
  bool emptyParts;       // a part may be empty
  bool partsUpTo255;     // each part's value is at most 255
  bool leadingMinus;     // a part may be '-' and digits (its value negative)
};

// Digits and three dots, nothing else checked: the address-format flag the
// typed client gives SetServerDetails ("256.1.1.1" and "1..3.4" count).
inline constexpr DottedForm kDottedDigits{0, true, false, false};
// Parts of one to three characters, each at most 255, where a part may also
// be a minus sign and digits: how the corvane session command has always read
// its --server address ("-1.2.3.4" counts, "0001.2.3.4" does not).
inline constexpr DottedForm kDottedSession{3, false, true, true};
// Parts of one to four digits, each at most 255: networks and hosts in
// no_proxy ("0001.2.3.4" counts).
inline constexpr DottedForm kDottedNetwork{4, false, true, false};

// True when text is a dotted address of the form. value, when given, receives
// the address as a number (first part in the high byte) on success; it is
// meaningful only for forms whose parts are unsigned and at most 255.
bool ParseDottedIPv4(std::string_view text, const DottedForm& form, uint32_t* value = nullptr);

// Four address bytes in network order as "a.b.c.d".
std::string FormatDottedIPv4(const unsigned char* bytes);

}  // namespace corvane
