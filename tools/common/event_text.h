// How the command-line tools print an event's text on one line.
//
// Bytes 0x20 to 0x7E stand as themselves, except the backslash, written "\\";
// every other byte is written "\xHH" with two lowercase hex digits. The result
// is plain ASCII without line breaks, so one event is always one line.
#pragma once

#include <string>
#include <string_view>

namespace corvane::tools {

std::string EscapeEventText(std::string_view text);

}  // namespace corvane::tools
