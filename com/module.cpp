// Module state of the in-process server: instance handle, lock count, the
// cached type information, and registration.
#include "com/module.h"

#include <oleauto.h>

#include "com/corvane.h"
#include "com/registrar.h"

namespace corvane::com {
namespace {

HINSTANCE g_instance = nullptr;
LONG g_lockCount = 0;
ITypeInfo* g_typeInfo = nullptr;

constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;

HRESULT LoadModuleTypeLib(ITypeLib** typeLib) {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, typeLib);
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
    hr = typeLib->GetTypeInfoOfGuid(IID_IComponentMethods, &loaded);
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
  HRESULT hr = RunRegistryScript(ModuleInstance(), 101, ModulePath(), RegistryAction::kUnregister);
  // The type library goes too; one that is not registered (any more) is no
  // failure.
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
