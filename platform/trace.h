// Debug trace: printf-style, at most 511 characters per line.
// Windows: OutputDebugStringA. Elsewhere: standard error, and only when the
// environment variable CORVANE_TRACE is set. The trace never changes behaviour.
#pragma once

namespace corvane {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void DebugTrace(const char* format, ...);

}  // namespace corvane
