// Entry points of corvane.dll (exported through corvane.def).
#include <windows.h>

#include "com/corvane.h"
#include "com/module.h"

using namespace corvane::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      SetModuleInstance(instance);
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      // At process exit (reserved != null) other modules may already be gone:
      // leave the cached type information alone then.
      if (reserved == nullptr) ReleaseComponentTypeInfo();
      break;
    default:
      break;
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_ComponentMethods)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetComponentClassObject(riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() { return RegisterServer(); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return UnregisterServer(); }
