// Reading a script file into UTF-16 for ParseScriptText: a UTF-16LE byte
// order mark means UTF-16; otherwise the bytes are UTF-8 when they are valid
// UTF-8 (a UTF-8 byte order mark is skipped) and the ANSI code page when not.
#include "host.h"

static bool decode(const char *bytes, int size, UINT codePage, DWORD flags, std::wstring &text) {
  text.clear();
  if (size == 0) return true;
  int length = MultiByteToWideChar(codePage, flags, bytes, size, nullptr, 0);
  if (length <= 0) return false;
  text.resize(static_cast<size_t>(length));
  return MultiByteToWideChar(codePage, flags, bytes, size, text.data(), length) == length;
}

bool ReadScriptText(const std::wstring &path, std::wstring &text, std::wstring &error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    error = SystemMessage(code);
    if (error.empty()) error = L"error " + std::to_wstring(code);
    return false;
  }
  std::string bytes;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    while (ok && done < bytes.size()) {
      DWORD got = 0;
      ok = ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got,
                    nullptr) &&
           got > 0;
      done += got;
    }
  }
  DWORD readError = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (!ok) {
    error = readError ? SystemMessage(readError) : std::wstring();
    if (error.empty()) error = L"the file cannot be read";
    return false;
  }

  const char *p = bytes.data();
  size_t n = bytes.size();
  if (n >= 2 && static_cast<unsigned char>(p[0]) == 0xFF &&
      static_cast<unsigned char>(p[1]) == 0xFE) {
    text.assign(reinterpret_cast<const wchar_t *>(p + 2), (n - 2) / sizeof(wchar_t));
    return true;
  }
  if (n >= 3 && static_cast<unsigned char>(p[0]) == 0xEF &&
      static_cast<unsigned char>(p[1]) == 0xBB && static_cast<unsigned char>(p[2]) == 0xBF) {
    p += 3;
    n -= 3;
  }
  if (decode(p, static_cast<int>(n), CP_UTF8, MB_ERR_INVALID_CHARS, text)) return true;
  if (decode(p, static_cast<int>(n), CP_ACP, 0, text)) return true;
  error = L"the file is not text in UTF-8 or the ANSI code page";
  return false;
}
