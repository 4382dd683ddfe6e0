// Texts between the page (JSON, UTF-8) and the component (narrow strings in
// the ANSI code page, here Windows-1252 as on a Western Windows).
//
// Narrow to UTF-8 maps every byte to its Windows-1252 character (the five
// bytes that code page leaves undefined to U+0081, U+008D, U+008F, U+0090 and
// U+009D, as Windows converts them); UTF-8 to narrow maps each character back
// and writes '?' for one the code page lacks, as a BSTR conversion does, and
// for each sequence that is not UTF-8.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace corvane::bridge {

std::string NarrowToUtf8(std::string_view narrow);
std::string Utf8ToNarrow(std::string_view utf8);

// A page's frame as JSON, or a discarded value when it is not JSON or nests
// maxDepth levels or more: the parser keeps its nesting on the heap, and the
// callback sees every level's start and discards everything once one is too
// deep.
nlohmann::json ParsePageJson(std::string_view frame, int maxDepth);

}  // namespace corvane::bridge
