// The administrator's policy values: see policy_registry.h.
#include "platform/win32/policy_registry.h"

namespace corvane::win32 {
namespace {

constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Corvane\\ComponentMethods";

LONG OpenPolicyKey(HKEY* key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key);
}

}  // namespace

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length,
                        nullptr, nullptr);
  return utf8;
}

PolicyList ReadPolicyList(const wchar_t* name) {
  PolicyList list;
  HKEY key = nullptr;
  LONG status = OpenPolicyKey(&key);
  std::wstring text;
  if (status == ERROR_SUCCESS) {
    DWORD size = 0;
    status = RegQueryValueExW(key, name, nullptr, &list.type, nullptr, &size);
    // The value may grow between the two reads: then again with its new size.
    for (int attempt = 0; attempt < 4 && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA);
         ++attempt) {
      text.assign(size / sizeof(wchar_t) + 1, L'\0');
      size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      status = RegQueryValueExW(key, name, nullptr, &list.type,
                                reinterpret_cast<BYTE*>(text.data()), &size);
      if (status == ERROR_SUCCESS) {
        text.resize(size / sizeof(wchar_t));
        break;
      }
    }
    RegCloseKey(key);
  }
  if (status == ERROR_FILE_NOT_FOUND) return list;
  if (status != ERROR_SUCCESS || (list.type != REG_SZ && list.type != REG_MULTI_SZ)) {
    list.state = PolicyList::State::kUnreadable;
    list.status = status;
    return list;
  }
  // The terminating zeros, and those between a REG_MULTI_SZ's strings,
  // separate entries as ';' does.
  for (wchar_t& c : text) {
    if (c == L'\0') c = L';';
  }
  list.state = PolicyList::State::kRead;
  list.text = Utf8(text);
  return list;
}

std::optional<DWORD> ReadPolicyDword(const wchar_t* name) {
  HKEY key = nullptr;
  if (OpenPolicyKey(&key) != ERROR_SUCCESS) return std::nullopt;
  DWORD value = 0;
  DWORD type = REG_NONE;
  DWORD size = sizeof value;
  const LONG status =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return std::nullopt;
  return value;
}

}  // namespace corvane::win32
