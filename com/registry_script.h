// The registry script language of DllRegisterServer and DllUnregisterServer,
// parsed into a key tree (standard C++: registrar.h applies the tree to the
// registry on Windows).
//
// A script names root keys (HKCR, HKCU, HKLM, HKU and their long forms), each
// with a braced body of keys:
//
//   [NoRemove | ForceRemove] name [= s 'text' | = d number] [{ body }]
//   val name = s 'text' | d number        (a named value of the enclosing key)
//
// Names are bare words or quoted with single quotes ('' inside quotes is one
// quote); a bare {GUID} is a name. %MODULE% inside a name or text stands for
// the module path, %% for one percent sign. Keywords, root names and value
// types are matched without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::com {

enum class RegistryRoot { kClassesRoot, kCurrentUser, kLocalMachine, kUsers };

// Value types, numbered as the registry numbers them (REG_SZ, REG_DWORD).
inline constexpr uint32_t kRegistryString = 1;
inline constexpr uint32_t kRegistryDword = 4;

struct RegistryScriptValue {
  std::wstring name;  // empty: the key's default value
  uint32_t type = kRegistryString;
  std::wstring text;
  uint32_t number = 0;
};

struct RegistryScriptKey {
  enum class Mode { kNormal, kNoRemove, kForceRemove };
  Mode mode = Mode::kNormal;
  std::wstring name;
  std::vector<RegistryScriptValue> values;
  std::vector<RegistryScriptKey> keys;
};

struct RegistryScriptTree {
  RegistryRoot root = RegistryRoot::kClassesRoot;
  std::vector<RegistryScriptKey> keys;
};

// Parses a whole script; false with a message on a syntax error (roots is
// then unchanged).
bool ParseRegistryScriptTree(const std::wstring& script, const std::wstring& modulePath,
                             std::vector<RegistryScriptTree>& roots, std::wstring* error);

}  // namespace corvane::com
