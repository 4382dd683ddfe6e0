// State and helpers shared by the pieces of the in-process server.
//
// The module counts live objects and server locks for DllCanUnloadNow, knows
// its own instance handle (for the type library and the registry script, both
// resources of the module) and caches the one ITypeInfo of IComponentMethods
// that every object's IDispatch is served from.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <string>

namespace corvane::com {

// The module holding this code: the DLL in-process, or a test program
// linking the objects statically.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Full path of the module, as registered under InprocServer32.
std::wstring ModulePath();

// The registry view of the other architecture's DLL: on 64-bit Windows the
// 32-bit and the 64-bit corvane.dll register side by side, each in its own
// view of the class keys. False on 32-bit Windows, which has one view.
bool OtherRegistryView(REGSAM& view);

// Live objects and server locks; the module may unload when both are 0.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The cached type information of IComponentMethods from the module's type
// library (resource TYPELIB 1). Returns a new reference.
HRESULT GetComponentTypeInfo(ITypeInfo** typeInfo);
// Drops the cache (module unload).
void ReleaseComponentTypeInfo();

// The class object of ComponentMethods (static, never freed).
HRESULT GetComponentClassObject(REFIID riid, void** ppv);

// Creates a ComponentMethods object, aggregated when outer is not null (then
// riid must be IID_IUnknown).
HRESULT CreateComponentObject(IUnknown* outer, REFIID riid, void** ppv);

// Registration: the registry script (resource REGISTRY 101) with %MODULE%
// replaced by the module path, then the type library.
HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace corvane::com
