// The host's script site: how the engine reaches the host. It hands out the
// named item "WScript", and it reports a script error on standard error as
// "FILE(LINE, COLUMN) error: DESCRIPTION" and stops the run with exit code 1
// (errors raised while the script is already stopping, such as the one that
// carries WScript.Quit, are not reported). IActiveScriptSiteWindow gives the
// engine no window: the host is a console program. IServiceProvider offers
// no service; engines give the objects a script creates a site made over it,
// and Wine's VBScript creates no object that takes a site (IObjectWithSite,
// as the component does) when the host's site is not a service provider.
#include <servprov.h>

#include <new>

#include "host.h"

namespace {

struct ScriptSite {
  IActiveScriptSite IActiveScriptSite_iface;
  IActiveScriptSiteWindow IActiveScriptSiteWindow_iface;
  IServiceProvider IServiceProvider_iface;
  LONG ref;
  HostState *host;
  IDispatch *wscript;
};

ScriptSite *impl_from_IActiveScriptSite(IActiveScriptSite *iface) {
  return CONTAINING_RECORD(iface, ScriptSite, IActiveScriptSite_iface);
}

ScriptSite *impl_from_IActiveScriptSiteWindow(IActiveScriptSiteWindow *iface) {
  return CONTAINING_RECORD(iface, ScriptSite, IActiveScriptSiteWindow_iface);
}

ScriptSite *impl_from_IServiceProvider(IServiceProvider *iface) {
  return CONTAINING_RECORD(iface, ScriptSite, IServiceProvider_iface);
}

HRESULT STDMETHODCALLTYPE ScriptSite_QueryInterface(IActiveScriptSite *iface, REFIID riid,
                                                    void **ppv) {
  ScriptSite *This = impl_from_IActiveScriptSite(iface);
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIID_IActiveScriptSite)) {
    *ppv = &This->IActiveScriptSite_iface;
  } else if (IsEqualIID(riid, kIID_IActiveScriptSiteWindow)) {
    *ppv = &This->IActiveScriptSiteWindow_iface;
  } else if (IsEqualIID(riid, IID_IServiceProvider)) {
    *ppv = &This->IServiceProvider_iface;
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  IActiveScriptSite_AddRef(iface);
  return S_OK;
}

ULONG STDMETHODCALLTYPE ScriptSite_AddRef(IActiveScriptSite *iface) {
  return static_cast<ULONG>(InterlockedIncrement(&impl_from_IActiveScriptSite(iface)->ref));
}

ULONG STDMETHODCALLTYPE ScriptSite_Release(IActiveScriptSite *iface) {
  ScriptSite *This = impl_from_IActiveScriptSite(iface);
  LONG ref = InterlockedDecrement(&This->ref);
  if (ref == 0) {
    IDispatch_Release(This->wscript);
    delete This;
  }
  return static_cast<ULONG>(ref);
}

HRESULT STDMETHODCALLTYPE ScriptSite_GetLCID(IActiveScriptSite *, LCID *) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE ScriptSite_GetItemInfo(IActiveScriptSite *iface, LPCOLESTR name,
                                                 DWORD mask, IUnknown **unknown,
                                                 ITypeInfo **typeInfo) {
  ScriptSite *This = impl_from_IActiveScriptSite(iface);
  if ((mask & SCRIPTINFO_IUNKNOWN) && !unknown) return E_POINTER;
  if ((mask & SCRIPTINFO_ITYPEINFO) && !typeInfo) return E_POINTER;
  if (mask & SCRIPTINFO_IUNKNOWN) *unknown = nullptr;
  if (mask & SCRIPTINFO_ITYPEINFO) *typeInfo = nullptr;
  if (!name || CompareStringOrdinal(name, -1, L"WScript", -1, TRUE) != CSTR_EQUAL)
    return TYPE_E_ELEMENTNOTFOUND;
  // The object has no type information; only its IUnknown can be given.
  if (!(mask & SCRIPTINFO_IUNKNOWN)) return TYPE_E_ELEMENTNOTFOUND;
  IDispatch_AddRef(This->wscript);
  *unknown = reinterpret_cast<IUnknown *>(This->wscript);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptSite_GetDocVersionString(IActiveScriptSite *, BSTR *) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE ScriptSite_OnScriptTerminate(IActiveScriptSite *, const VARIANT *,
                                                       const EXCEPINFO *) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptSite_OnStateChange(IActiveScriptSite *, SCRIPTSTATE) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptSite_OnScriptError(IActiveScriptSite *iface,
                                                   IActiveScriptError *error) {
  ScriptSite *This = impl_from_IActiveScriptSite(iface);
  if (This->host->stopping) return S_OK;
  This->host->stopping = true;
  This->host->exitCode = kExitScriptError;
  if (!error) {
    WriteStderr(This->host->scriptPath + L": error: unknown script error\r\n");
    return S_OK;
  }

  EXCEPINFO info;
  ZeroMemory(&info, sizeof(info));
  if (SUCCEEDED(IActiveScriptError_GetExceptionInfo(error, &info)) && info.pfnDeferredFillIn)
    info.pfnDeferredFillIn(&info);
  DWORD context = 0;
  ULONG line = 0;
  LONG column = 0;
  bool havePosition =
      SUCCEEDED(IActiveScriptError_GetSourcePosition(error, &context, &line, &column));

  std::wstring message = This->host->scriptPath;
  if (havePosition)
    message += L"(" + std::to_wstring(line + 1) + L", " + std::to_wstring(column + 1) + L")";
  message += L" error: ";
  HRESULT code = info.scode ? info.scode : static_cast<HRESULT>(info.wCode);
  // Wine's VBScript gives codes without descriptions; the system knows some.
  if (info.bstrDescription && *info.bstrDescription)
    message += info.bstrDescription;
  else if (std::wstring text = SystemMessage(static_cast<DWORD>(code)); code && !text.empty())
    message += text;
  else
    message += L"script error";
  message += L" (";
  if (info.bstrSource && *info.bstrSource) message += std::wstring(info.bstrSource) + L", ";
  message += hex32(code) + L")\r\n";
  WriteStderr(message);

  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptSite_OnEnterScript(IActiveScriptSite *) { return S_OK; }

HRESULT STDMETHODCALLTYPE ScriptSite_OnLeaveScript(IActiveScriptSite *) { return S_OK; }

const IActiveScriptSiteVtbl ScriptSiteVtbl = {
    .QueryInterface = ScriptSite_QueryInterface,
    .AddRef = ScriptSite_AddRef,
    .Release = ScriptSite_Release,
    .GetLCID = ScriptSite_GetLCID,
    .GetItemInfo = ScriptSite_GetItemInfo,
    .GetDocVersionString = ScriptSite_GetDocVersionString,
    .OnScriptTerminate = ScriptSite_OnScriptTerminate,
    .OnStateChange = ScriptSite_OnStateChange,
    .OnScriptError = ScriptSite_OnScriptError,
    .OnEnterScript = ScriptSite_OnEnterScript,
    .OnLeaveScript = ScriptSite_OnLeaveScript,
};

HRESULT STDMETHODCALLTYPE SiteWindow_QueryInterface(IActiveScriptSiteWindow *iface, REFIID riid,
                                                    void **ppv) {
  ScriptSite *This = impl_from_IActiveScriptSiteWindow(iface);
  return IActiveScriptSite_QueryInterface(&This->IActiveScriptSite_iface, riid, ppv);
}

ULONG STDMETHODCALLTYPE SiteWindow_AddRef(IActiveScriptSiteWindow *iface) {
  ScriptSite *This = impl_from_IActiveScriptSiteWindow(iface);
  return IActiveScriptSite_AddRef(&This->IActiveScriptSite_iface);
}

ULONG STDMETHODCALLTYPE SiteWindow_Release(IActiveScriptSiteWindow *iface) {
  ScriptSite *This = impl_from_IActiveScriptSiteWindow(iface);
  return IActiveScriptSite_Release(&This->IActiveScriptSite_iface);
}

HRESULT STDMETHODCALLTYPE SiteWindow_GetWindow(IActiveScriptSiteWindow *, HWND *window) {
  if (!window) return E_POINTER;
  *window = nullptr;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE SiteWindow_EnableModeless(IActiveScriptSiteWindow *, BOOL) {
  return S_OK;
}

const IActiveScriptSiteWindowVtbl SiteWindowVtbl = {
    .QueryInterface = SiteWindow_QueryInterface,
    .AddRef = SiteWindow_AddRef,
    .Release = SiteWindow_Release,
    .GetWindow = SiteWindow_GetWindow,
    .EnableModeless = SiteWindow_EnableModeless,
};

HRESULT STDMETHODCALLTYPE ServiceProvider_QueryInterface(IServiceProvider *iface, REFIID riid,
                                                         void **ppv) {
  ScriptSite *This = impl_from_IServiceProvider(iface);
  return IActiveScriptSite_QueryInterface(&This->IActiveScriptSite_iface, riid, ppv);
}

ULONG STDMETHODCALLTYPE ServiceProvider_AddRef(IServiceProvider *iface) {
  ScriptSite *This = impl_from_IServiceProvider(iface);
  return IActiveScriptSite_AddRef(&This->IActiveScriptSite_iface);
}

ULONG STDMETHODCALLTYPE ServiceProvider_Release(IServiceProvider *iface) {
  ScriptSite *This = impl_from_IServiceProvider(iface);
  return IActiveScriptSite_Release(&This->IActiveScriptSite_iface);
}

HRESULT STDMETHODCALLTYPE ServiceProvider_QueryService(IServiceProvider *, REFGUID, REFIID,
                                                       void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return E_NOINTERFACE;
}

const IServiceProviderVtbl ServiceProviderVtbl = {
    .QueryInterface = ServiceProvider_QueryInterface,
    .AddRef = ServiceProvider_AddRef,
    .Release = ServiceProvider_Release,
    .QueryService = ServiceProvider_QueryService,
};

}  // namespace

HRESULT CreateScriptSite(HostState *host, IDispatch *wscript, IActiveScriptSite **site) {
  if (!site || !wscript) return E_POINTER;
  ScriptSite *This = new (std::nothrow)
      ScriptSite{{&ScriptSiteVtbl}, {&SiteWindowVtbl}, {&ServiceProviderVtbl}, 1, host, wscript};
  if (!This) {
    *site = nullptr;
    return E_OUTOFMEMORY;
  }
  IDispatch_AddRef(wscript);
  *site = &This->IActiveScriptSite_iface;
  return S_OK;
}
