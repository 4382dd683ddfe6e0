// Module state of the in-process server: instance handle, lock count, the
// cached type information, and registration.
#include "com/module.h"

#include <oleauto.h>

#include <cwchar>

#include "com/corvane.h"
#include "com/registrar.h"

namespace corvane::com {
namespace {

HINSTANCE g_instance = nullptr;
LONG g_lockCount = 0;
ITypeInfo* g_typeInfo = nullptr;

constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 1;

HRESULT LoadModuleTypeLib(ITypeLib** typeLib) {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib);
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The class is registered in the other architecture's view: its DLL still
// needs the keys the two share (the ProgIDs, the interface, the type library).
bool RegisteredInOtherView() {
  REGSAM view = 0;
  if (!OtherRegistryView(view)) return false;
  const std::wstring path = L"CLSID\\" + GuidText(CLSID_ComponentMethods) + L"\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// Removes a key tree in one registry view; one already gone is no failure.
HRESULT DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WRITE | DELETE | view, &key);
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegDeleteKeyExW(root, path.c_str(), view, 0);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                   : HRESULT_FROM_WIN32(status);
}

// Unregistration while the other architecture's DLL stays registered: only
// this view's class key and this architecture's type library path go (the
// latter from both views: RegisterTypeLib writes the type library into both).
HRESULT UnregisterThisArchitecture(LCID lcid, SYSKIND syskind) {
  HRESULT hr = DeleteKeyTree(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(CLSID_ComponentMethods), 0);
  wchar_t version[64] = {};
  swprintf(version, 64, L"\\%u.%u\\%lx\\%ls", unsigned{kTypeLibMajor}, unsigned{kTypeLibMinor},
           static_cast<unsigned long>(lcid), syskind == SYS_WIN64 ? L"win64" : L"win32");
  const std::wstring path = L"TypeLib\\" + GuidText(LIBID_CORVANELib) + version;
  for (REGSAM view : {REGSAM{KEY_WOW64_64KEY}, REGSAM{KEY_WOW64_32KEY}}) {
    const HRESULT tlb = DeleteKeyTree(HKEY_CLASSES_ROOT, path, view);
    if (SUCCEEDED(hr) && FAILED(tlb)) hr = tlb;
  }
  return hr;
}

}  // namespace

HINSTANCE ModuleInstance() {
  if (g_instance != nullptr) return g_instance;
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&g_instance), &module);
  return module;
}

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

bool OtherRegistryView(REGSAM& view) {
#ifdef _WIN64
  view = KEY_WOW64_32KEY;
  return true;
#else
  BOOL wow64 = FALSE;
  view = KEY_WOW64_64KEY;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(ModuleInstance(), path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void LockModule() { InterlockedIncrement(&g_lockCount); }
void UnlockModule() { InterlockedDecrement(&g_lockCount); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&g_lockCount, 0, 0); }

HRESULT GetComponentTypeInfo(ITypeInfo** typeInfo) {
  if (typeInfo == nullptr) return E_POINTER;
  *typeInfo = nullptr;
  void* cached =
      InterlockedCompareExchangePointer(reinterpret_cast<void**>(&g_typeInfo), nullptr, nullptr);
  if (cached == nullptr) {
    ITypeLib* typeLib = nullptr;
    HRESULT hr = LoadModuleTypeLib(&typeLib);
    if (FAILED(hr)) return hr;
    ITypeInfo* loaded = nullptr;
    hr = typeLib->GetTypeInfoOfGuid(IID_IComponentMethods2, &loaded);
    typeLib->Release();
    if (FAILED(hr)) return hr;
    // Two threads may load at once: the first to publish wins.
    cached =
        InterlockedCompareExchangePointer(reinterpret_cast<void**>(&g_typeInfo), loaded, nullptr);
    if (cached != nullptr) {
      loaded->Release();
    } else {
      cached = loaded;
    }
  }
  *typeInfo = static_cast<ITypeInfo*>(cached);
  (*typeInfo)->AddRef();
  return S_OK;
}

void ReleaseComponentTypeInfo() {
  void* cached = InterlockedExchangePointer(reinterpret_cast<void**>(&g_typeInfo), nullptr);
  if (cached != nullptr) static_cast<ITypeInfo*>(cached)->Release();
}

HRESULT RegisterServer() {
  HRESULT hr = RunRegistryScript(ModuleInstance(), 101, ModulePath(), RegistryAction::kRegister);
  if (FAILED(hr)) return hr;
  ITypeLib* typeLib = nullptr;
  hr = LoadModuleTypeLib(&typeLib);
  if (FAILED(hr)) return hr;
  std::wstring path = ModulePath();
  hr = RegisterTypeLib(typeLib, path.data(), nullptr);
  typeLib->Release();
  return hr;
}

HRESULT UnregisterServer() {
  // The type library's locale and architecture, for its registry keys.
  ITypeLib* typeLib = nullptr;
  LCID lcid = LOCALE_NEUTRAL;
  SYSKIND syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  if (SUCCEEDED(LoadModuleTypeLib(&typeLib))) {
    TLIBATTR* attr = nullptr;
    if (SUCCEEDED(typeLib->GetLibAttr(&attr))) {
      lcid = attr->lcid;
      syskind = attr->syskind;
      typeLib->ReleaseTLibAttr(attr);
    }
    typeLib->Release();
  }
  if (RegisteredInOtherView()) return UnregisterThisArchitecture(lcid, syskind);
  HRESULT hr = RunRegistryScript(ModuleInstance(), 101, ModulePath(), RegistryAction::kUnregister);
  // The type library goes too; one that is not registered (any more) is no
  // failure.
  BSTR registered = nullptr;
  if (FAILED(
          QueryPathOfRegTypeLib(LIBID_CORVANELib, kTypeLibMajor, kTypeLibMinor, lcid, &registered)))
    return hr;
  SysFreeString(registered);
  const HRESULT tlb =
      UnRegisterTypeLib(LIBID_CORVANELib, kTypeLibMajor, kTypeLibMinor, lcid, syskind);
  if (SUCCEEDED(hr) && FAILED(tlb)) hr = tlb;
  return hr;
}

}  // namespace corvane::com
