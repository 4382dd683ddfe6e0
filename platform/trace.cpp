#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace corvane {

void DebugTrace(const char* format, ...) {
#ifndef _WIN32
  static const bool enabled = std::getenv("CORVANE_TRACE") != nullptr;
  if (!enabled) return;
#endif
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
#ifdef _WIN32
  OutputDebugStringA(line);
#else
  std::fputs(line, stderr);
#endif
}

}  // namespace corvane
