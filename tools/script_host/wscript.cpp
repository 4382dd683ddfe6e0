// The named item "WScript": the host's object as a script sees it. A
// hand-written IDispatch with fixed DISPIDs and a case-insensitive name table
// (Echo, Sleep, Quit, Arguments, CreateObject, ScriptName, ScriptFullName,
// Name). It acts on the shared host state: Quit and a reported error set
// host->stopping, after which every member call fails so that the script
// unwinds; a script that catches that failure and calls WScript again ends
// the process on the spot.
#include <new>

#include "host.h"

namespace {

enum : DISPID {
  DISPID_WSCRIPT_NAME = DISPID_VALUE,
  DISPID_WSCRIPT_ECHO = 1,
  DISPID_WSCRIPT_SLEEP = 2,
  DISPID_WSCRIPT_QUIT = 3,
  DISPID_WSCRIPT_ARGUMENTS = 4,
  DISPID_WSCRIPT_CREATEOBJECT = 5,
  DISPID_WSCRIPT_SCRIPTNAME = 6,
  DISPID_WSCRIPT_SCRIPTFULLNAME = 7,
};

const DispatchName kWScriptNames[] = {
    {L"Echo", DISPID_WSCRIPT_ECHO},
    {L"Sleep", DISPID_WSCRIPT_SLEEP},
    {L"Quit", DISPID_WSCRIPT_QUIT},
    {L"Arguments", DISPID_WSCRIPT_ARGUMENTS},
    {L"CreateObject", DISPID_WSCRIPT_CREATEOBJECT},
    {L"ScriptName", DISPID_WSCRIPT_SCRIPTNAME},
    {L"ScriptFullName", DISPID_WSCRIPT_SCRIPTFULLNAME},
    {L"Name", DISPID_WSCRIPT_NAME},
};

const wchar_t kHostName[] = L"Corvane Script Host";

struct WScript {
  IDispatch IDispatch_iface;
  LONG ref;
  HostState *host;
  IDispatch *arguments;  // made at first use
};

WScript *impl_from_IDispatch(IDispatch *iface) {
  return CONTAINING_RECORD(iface, WScript, IDispatch_iface);
}

HRESULT STDMETHODCALLTYPE WScript_QueryInterface(IDispatch *iface, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *ppv = iface;
    IDispatch_AddRef(iface);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE WScript_AddRef(IDispatch *iface) {
  return static_cast<ULONG>(InterlockedIncrement(&impl_from_IDispatch(iface)->ref));
}

ULONG STDMETHODCALLTYPE WScript_Release(IDispatch *iface) {
  WScript *This = impl_from_IDispatch(iface);
  LONG ref = InterlockedDecrement(&This->ref);
  if (ref == 0) {
    if (This->arguments) IDispatch_Release(This->arguments);
    delete This;
  }
  return static_cast<ULONG>(ref);
}

HRESULT STDMETHODCALLTYPE WScript_GetTypeInfoCount(IDispatch *, UINT *count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE WScript_GetTypeInfo(IDispatch *, UINT, LCID, ITypeInfo **info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT STDMETHODCALLTYPE WScript_GetIDsOfNames(IDispatch *, REFIID, LPOLESTR *names, UINT count,
                                                LCID, DISPID *ids) {
  return LookupNames(kWScriptNames, ARRAYSIZE(kWScriptNames), names, count, ids);
}

HRESULT StoppedError(EXCEPINFO *excepinfo) {
  return RaiseError(excepinfo, E_ABORT, L"The script is ending");
}

HRESULT SetString(VARIANT *result, const std::wstring &text) {
  if (!result) return S_OK;
  V_VT(result) = VT_BSTR;
  V_BSTR(result) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return V_BSTR(result) ? S_OK : E_OUTOFMEMORY;
}

HRESULT echo(DISPPARAMS *params, EXCEPINFO *excepinfo) {
  std::wstring line;
  for (UINT i = 0; const VARIANT *arg = DispatchArg(params, i); i++) {
    std::wstring text;
    HRESULT hr = VariantToText(arg, text);
    if (FAILED(hr)) return RaiseError(excepinfo, hr, L"Echo cannot show this value as text");
    if (i > 0) line += L' ';
    line += text;
  }
  line += L"\r\n";
  WriteStdout(line);
  return S_OK;
}

// Waits while dispatching the thread's window messages, so that messages
// posted to hidden windows of objects on this thread (their events) are
// handled during the wait. The deadline is checked after every message, so a
// flood of messages cannot hold the wait past it by more than one message's
// work (an object that delivers its events in bounded slices keeps that
// short). Ends early when an event handler stops the script.
HRESULT sleep(WScript *This, DISPPARAMS *params, EXCEPINFO *excepinfo) {
  const VARIANT *arg = DispatchArg(params, 0);
  if (!arg) return DISP_E_BADPARAMCOUNT;
  VARIANT ms;
  VariantInit(&ms);
  HRESULT hr = VariantChangeType(&ms, const_cast<VARIANT *>(arg), 0, VT_I4);
  if (FAILED(hr)) return RaiseError(excepinfo, hr, L"Sleep needs a number of milliseconds");
  // The performance counter, not the coarse tick count, decides when the wait
  // is over, so that it never ends early.
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  LONGLONG waitMs = V_I4(&ms) > 0 ? V_I4(&ms) : 0;
  LONGLONG deadline = now.QuadPart + waitMs * frequency.QuadPart / 1000 +
                      (waitMs * frequency.QuadPart % 1000 ? 1 : 0);
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      if (This->host->stopping) return StoppedError(excepinfo);
      QueryPerformanceCounter(&now);
      if (now.QuadPart >= deadline) return S_OK;
    }
    QueryPerformanceCounter(&now);
    if (now.QuadPart >= deadline) return S_OK;
    // Round up so the wait does not wake just before the deadline.
    LONGLONG left = (deadline - now.QuadPart) * 1000 / frequency.QuadPart + 1;
    MsgWaitForMultipleObjectsEx(0, nullptr,
                                static_cast<DWORD>(left < 0x7FFFFFFF ? left : 0x7FFFFFFF),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

HRESULT quit(WScript *This, DISPPARAMS *params, EXCEPINFO *excepinfo) {
  int code = 0;
  if (const VARIANT *arg = DispatchArg(params, 0); arg && V_VT(arg) != VT_EMPTY) {
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantChangeType(&value, const_cast<VARIANT *>(arg), 0, VT_I4);
    if (FAILED(hr)) return RaiseError(excepinfo, hr, L"Quit needs a number as exit code");
    code = V_I4(&value);
  }
  This->host->stopping = true;
  This->host->exitCode = code;
  // Engines that support it stop the script here; the others stop it on the
  // error returned below, which the site does not report.
  if (This->host->engine) {
    EXCEPINFO interrupt;
    ZeroMemory(&interrupt, sizeof(interrupt));
    interrupt.scode = E_ABORT;
    IActiveScript_InterruptScriptThread(This->host->engine, SCRIPTTHREADID_CURRENT, &interrupt, 0);
  }
  return RaiseError(excepinfo, E_ABORT, L"The script was ended by WScript.Quit");
}

HRESULT arguments(WScript *This, WORD flags, DISPPARAMS *params, VARIANT *result,
                  EXCEPINFO *excepinfo, UINT *argError) {
  if (!This->arguments) {
    HRESULT hr = CreateArguments(This->host, &This->arguments);
    if (FAILED(hr)) return hr;
  }
  // WScript.Arguments(i) arrives as a call of this member with the index.
  if (DispatchArg(params, 0))
    return IDispatch_Invoke(This->arguments, DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, flags,
                            params, result, excepinfo, argError);
  if (result) {
    IDispatch_AddRef(This->arguments);
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = This->arguments;
  }
  return S_OK;
}

HRESULT CreateObjectFor(DISPPARAMS *params, VARIANT *result, EXCEPINFO *excepinfo) {
  const VARIANT *arg = DispatchArg(params, 0);
  if (!arg) return DISP_E_BADPARAMCOUNT;
  if (const VARIANT *prefix = DispatchArg(params, 1); prefix && V_VT(prefix) != VT_EMPTY)
    return RaiseError(excepinfo, E_NOTIMPL, L"CreateObject does not connect events by prefix");
  if (V_VT(arg) != VT_BSTR) return DISP_E_TYPEMISMATCH;
  std::wstring progid = V_BSTR(arg) ? V_BSTR(arg) : L"";
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progid.c_str(), &clsid);
  IDispatch *object = nullptr;
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          reinterpret_cast<void **>(&object));
  if (FAILED(hr))
    return RaiseError(excepinfo, hr, L"Could not create object named \"" + progid + L"\"");
  if (!result) {
    IDispatch_Release(object);
    return S_OK;
  }
  V_VT(result) = VT_DISPATCH;
  V_DISPATCH(result) = object;
  return S_OK;
}

std::wstring FileNameOf(const std::wstring &path) {
  size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

HRESULT STDMETHODCALLTYPE WScript_Invoke(IDispatch *iface, DISPID id, REFIID, LCID, WORD flags,
                                         DISPPARAMS *params, VARIANT *result, EXCEPINFO *excepinfo,
                                         UINT *argError) {
  WScript *This = impl_from_IDispatch(iface);
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  if (result) VariantInit(result);
  if (This->host->stopping) {
    // The script went on after the stop (it caught the error): end it now.
    if (This->host->engine) ExitProcess(static_cast<UINT>(This->host->exitCode));
    return StoppedError(excepinfo);
  }
  bool call = (flags & DISPATCH_METHOD) != 0;
  switch (id) {
    // The methods act only when called, not when a script merely reads them.
    case DISPID_WSCRIPT_ECHO:
    case DISPID_WSCRIPT_SLEEP:
    case DISPID_WSCRIPT_QUIT:
    case DISPID_WSCRIPT_CREATEOBJECT:
      if (!call) return DISP_E_MEMBERNOTFOUND;
      break;
    default:
      break;
  }
  switch (id) {
    case DISPID_WSCRIPT_ECHO:
      return echo(params, excepinfo);
    case DISPID_WSCRIPT_SLEEP:
      return sleep(This, params, excepinfo);
    case DISPID_WSCRIPT_QUIT:
      return quit(This, params, excepinfo);
    case DISPID_WSCRIPT_ARGUMENTS:
      return arguments(This, flags, params, result, excepinfo, argError);
    case DISPID_WSCRIPT_CREATEOBJECT:
      return CreateObjectFor(params, result, excepinfo);
    case DISPID_WSCRIPT_SCRIPTNAME:
      return SetString(result, FileNameOf(This->host->scriptPath));
    case DISPID_WSCRIPT_SCRIPTFULLNAME:
      return SetString(result, This->host->scriptFullPath);
    case DISPID_WSCRIPT_NAME:
      return SetString(result, kHostName);
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

const IDispatchVtbl WScriptVtbl = {
    .QueryInterface = WScript_QueryInterface,
    .AddRef = WScript_AddRef,
    .Release = WScript_Release,
    .GetTypeInfoCount = WScript_GetTypeInfoCount,
    .GetTypeInfo = WScript_GetTypeInfo,
    .GetIDsOfNames = WScript_GetIDsOfNames,
    .Invoke = WScript_Invoke,
};

}  // namespace

HRESULT CreateWScript(HostState *host, IDispatch **wscript) {
  if (!wscript) return E_POINTER;
  WScript *This = new (std::nothrow) WScript{{&WScriptVtbl}, 1, host, nullptr};
  *wscript = This ? &This->IDispatch_iface : nullptr;
  return This ? S_OK : E_OUTOFMEMORY;
}
