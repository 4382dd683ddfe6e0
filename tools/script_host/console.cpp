// Standard output and error of the host. A console gets UTF-16 text through
// WriteConsoleW; a file or pipe gets UTF-8. Every call writes at once, without
// buffering, so an output file is complete whenever the process ends.
#include "host.h"

static void WriteText(DWORD which, const std::wstring &text) {
  HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || text.empty()) return;
  DWORD mode;
  if (GetConsoleMode(handle, &mode)) {
    DWORD written;
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  const char *p = bytes.data();
  DWORD left = static_cast<DWORD>(bytes.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, p, left, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

void WriteStdout(const std::wstring &text) { WriteText(STD_OUTPUT_HANDLE, text); }

void WriteStderr(const std::wstring &text) { WriteText(STD_ERROR_HANDLE, text); }
