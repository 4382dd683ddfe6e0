// The transport policy from the registry (see tls_policy.h): TlsServers and
// RefusePlainConnections of HKLM\Software\Policies\Corvane\ComponentMethods,
// read in the 64-bit view from both DLLs, as AllowedSites is. No key or no
// value: no entry, plain connections allowed. A value of another type, or one
// that cannot be read, counts as absent.
#include <windows.h>

#include <string>

#include "platform/tls_policy.h"

namespace corvane {
namespace {

constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Corvane\\ComponentMethods";

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length,
                        nullptr, nullptr);
  return utf8;
}

// The list value, its strings (REG_SZ, or each of a REG_MULTI_SZ's) separated
// by ';'.
std::string ReadList(HKEY key, const wchar_t* name) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  std::wstring text;
  // The value may grow between the two reads: then again with its new size.
  for (int attempt = 0; attempt < 4 && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA);
       ++attempt) {
    text.assign(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status == ERROR_SUCCESS) {
      text.resize(size / sizeof(wchar_t));
      break;
    }
  }
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_MULTI_SZ)) return std::string();
  for (wchar_t& c : text) {
    if (c == L'\0') c = L';';
  }
  return Utf8(text);
}

class RegistryTlsPolicySource final : public TlsPolicySource {
 public:
  TlsPolicy Read() override {
    TlsPolicy policy;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
      return policy;
    policy.servers = TlsPolicyEntries(ReadList(key, L"TlsServers"));
    DWORD refuse = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof refuse;
    if (RegQueryValueExW(key, L"RefusePlainConnections", nullptr, &type,
                         reinterpret_cast<BYTE*>(&refuse), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof refuse)
      policy.refusePlain = refuse == 1;
    RegCloseKey(key);
    return policy;
  }
};

}  // namespace

std::shared_ptr<TlsPolicySource> SystemTlsPolicySource() {
  return std::make_shared<RegistryTlsPolicySource>();
}

}  // namespace corvane
