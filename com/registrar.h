// The registry script interpreter behind DllRegisterServer and
// DllUnregisterServer.
//
// A script names root keys (HKCR, HKCU, HKLM, HKU and their long forms), each
// with a braced body of keys:
//
//   [NoRemove | ForceRemove] name [= s 'text' | = d number] [{ body }]
//   val name = s 'text' | d number        (a named value of the enclosing key)
//
// Names are bare words or quoted with single quotes ('' inside quotes is one
// quote); a bare {GUID} is a name. %MODULE% inside a name or text stands for
// the module path, %% for one percent sign. Registering creates every key and
// value, deleting a ForceRemove key's old tree first. Unregistering deletes
// every key tree except NoRemove keys, whose bodies are unregistered in turn;
// a key already gone is no failure. The whole script is parsed before the
// registry is touched.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace corvane::com {

enum class RegistryAction { kRegister, kUnregister };

struct RegistryScriptValue {
  std::wstring name;  // empty: the key's default value
  DWORD type = REG_SZ;
  std::wstring text;
  DWORD number = 0;
};

struct RegistryScriptKey {
  enum class Mode { kNormal, kNoRemove, kForceRemove };
  Mode mode = Mode::kNormal;
  std::wstring name;
  std::vector<RegistryScriptValue> values;
  std::vector<RegistryScriptKey> keys;
};

struct RegistryScriptRoot {
  HKEY root = nullptr;
  std::vector<RegistryScriptKey> keys;
};

// Parses a script; false with a message on a syntax error.
bool ParseRegistryScript(const std::wstring& script, const std::wstring& modulePath,
                         std::vector<RegistryScriptRoot>& roots, std::wstring* error);

// Applies a parsed script to the registry.
HRESULT ApplyRegistryScript(const std::vector<RegistryScriptRoot>& roots, RegistryAction action);

// Parses and applies a script text (ANSI).
HRESULT RunRegistryScriptText(const std::string& script, const std::wstring& modulePath,
                              RegistryAction action);

// Runs the script held by the module as resource REGISTRY <resourceId>.
HRESULT RunRegistryScript(HINSTANCE module, int resourceId, const std::wstring& modulePath,
                          RegistryAction action);

}  // namespace corvane::com
