// The administrator's policy key, HKLM\Software\Policies\Corvane\ComponentMethods
// in the 64-bit registry view (both DLLs read the same values), and UTF-8 from
// the registry's UTF-16. Windows only.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace corvane::win32 {

std::string Utf8(std::wstring_view text);

// A list value of the policy key: REG_SZ, or REG_MULTI_SZ whose strings are
// joined by ';' (the separator of every list there).
struct PolicyList {
  enum class State { kAbsent, kUnreadable, kRead };
  State state = State::kAbsent;  // absent: no key, or no such value
  std::string text;              // when read
  LONG status = ERROR_SUCCESS;   // when unreadable: the registry's answer
  DWORD type = REG_NONE;         // and the value's type
};
PolicyList ReadPolicyList(const wchar_t* name);

// A REG_DWORD value of the policy key; nullopt when absent or of another type.
std::optional<DWORD> ReadPolicyDword(const wchar_t* name);

}  // namespace corvane::win32
