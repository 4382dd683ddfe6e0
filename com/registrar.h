// The registry script interpreter behind DllRegisterServer and
// DllUnregisterServer: registry_script.h has the language and the parser.
// Registering creates every key and value, deleting a ForceRemove key's old
// tree first. Unregistering deletes every key tree except NoRemove keys, whose
// bodies are unregistered in turn; a key already gone is no failure. The whole
// script is parsed before the registry is touched.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "com/registry_script.h"

namespace corvane::com {

enum class RegistryAction { kRegister, kUnregister };

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
