// Registry script interpreter: the parsed key tree (registry_script.cpp) and
// the two walks over it (register, unregister).
#include "com/registrar.h"

namespace corvane::com {
namespace {

HKEY RootHandle(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::kClassesRoot:
      return HKEY_CLASSES_ROOT;
    case RegistryRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RegistryRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegistryRoot::kUsers:
      return HKEY_USERS;
  }
  return nullptr;
}

HRESULT FromStatus(LONG status) {
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT SetValue(HKEY key, const RegistryScriptValue& value) {
  const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
  if (value.type == kRegistryDword)
    return FromStatus(RegSetValueExW(key, name, 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&value.number),
                                     sizeof value.number));
  const DWORD bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
  return FromStatus(RegSetValueExW(key, name, 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(value.text.c_str()), bytes));
}

HRESULT DeleteTree(HKEY parent, const std::wstring& name) {
  const LONG status = RegDeleteTreeW(parent, name.c_str());
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
  const LONG gone = RegDeleteKeyW(parent, name.c_str());
  return gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(gone);
}

HRESULT RegisterKeys(HKEY parent, const std::vector<RegistryScriptKey>& keys) {
  for (const RegistryScriptKey& key : keys) {
    if (key.mode == RegistryScriptKey::Mode::kForceRemove) {
      const HRESULT hr = DeleteTree(parent, key.name);
      if (FAILED(hr)) return hr;
    }
    HKEY handle = nullptr;
    const LONG status = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0,
                                        KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    HRESULT hr = S_OK;
    for (const RegistryScriptValue& value : key.values) {
      hr = SetValue(handle, value);
      if (FAILED(hr)) break;
    }
    if (SUCCEEDED(hr)) hr = RegisterKeys(handle, key.keys);
    RegCloseKey(handle);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterKeys(HKEY parent, const std::vector<RegistryScriptKey>& keys) {
  HRESULT result = S_OK;
  for (const RegistryScriptKey& key : keys) {
    HRESULT hr = S_OK;
    if (key.mode == RegistryScriptKey::Mode::kNoRemove) {
      HKEY handle = nullptr;
      const LONG status = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, &handle);
      if (status == ERROR_FILE_NOT_FOUND) continue;
      if (status != ERROR_SUCCESS) {
        hr = HRESULT_FROM_WIN32(status);
      } else {
        hr = UnregisterKeys(handle, key.keys);
        RegCloseKey(handle);
      }
    } else {
      hr = DeleteTree(parent, key.name);
    }
    // Go on with the other keys; report the first failure.
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

}  // namespace

bool ParseRegistryScript(const std::wstring& script, const std::wstring& modulePath,
                         std::vector<RegistryScriptRoot>& roots, std::wstring* error) {
  std::vector<RegistryScriptTree> trees;
  if (!ParseRegistryScriptTree(script, modulePath, trees, error)) return false;
  std::vector<RegistryScriptRoot> parsed;
  for (RegistryScriptTree& tree : trees)
    parsed.push_back(RegistryScriptRoot{RootHandle(tree.root), std::move(tree.keys)});
  roots = std::move(parsed);
  return true;
}

HRESULT ApplyRegistryScript(const std::vector<RegistryScriptRoot>& roots, RegistryAction action) {
  for (const RegistryScriptRoot& root : roots) {
    const HRESULT hr = action == RegistryAction::kRegister ? RegisterKeys(root.root, root.keys)
                                                           : UnregisterKeys(root.root, root.keys);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT RunRegistryScriptText(const std::string& script, const std::wstring& modulePath,
                              RegistryAction action) {
  try {
    std::wstring wide;
    if (!script.empty()) {
      const int length = MultiByteToWideChar(CP_ACP, 0, script.data(),
                                             static_cast<int>(script.size()), nullptr, 0);
      if (length <= 0) return HRESULT_FROM_WIN32(GetLastError());
      wide.resize(static_cast<size_t>(length));
      MultiByteToWideChar(CP_ACP, 0, script.data(), static_cast<int>(script.size()), wide.data(),
                          length);
    }
    std::vector<RegistryScriptRoot> roots;
    if (!ParseRegistryScript(wide, modulePath, roots, nullptr))
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    return ApplyRegistryScript(roots, action);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RunRegistryScript(HINSTANCE module, int resourceId, const std::wstring& modulePath,
                          RegistryAction action) {
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
  if (info == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  const DWORD size = SizeofResource(module, info);
  try {
    const std::string script(static_cast<const char*>(data), size);
    // A script resource may carry a terminating zero.
    return RunRegistryScriptText(script.substr(0, script.find('\0')), modulePath, action);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace corvane::com
