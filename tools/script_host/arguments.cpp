// WScript.Arguments: the script's command-line arguments (those after the
// script file) as a read-only collection. Its default member is Item, so
// WScript.Arguments(i) works in both languages; length, Count and _NewEnum
// complete it. A hand-written IDispatch over a fixed name table; the strings
// are read from the host state at each call.
#include <new>

#include "host.h"

namespace {

enum : DISPID {
  DISPID_ARGS_ITEM = DISPID_VALUE,
  DISPID_ARGS_COUNT = 1,
  DISPID_ARGS_LENGTH = 2,
};

const DispatchName kArgumentsNames[] = {
    {L"Item", DISPID_ARGS_ITEM},
    {L"Count", DISPID_ARGS_COUNT},
    {L"length", DISPID_ARGS_LENGTH},
    {L"_NewEnum", DISPID_NEWENUM},
};

struct Arguments {
  IDispatch IDispatch_iface;
  LONG ref;
  HostState *host;
};

Arguments *impl_from_IDispatch(IDispatch *iface) {
  return CONTAINING_RECORD(iface, Arguments, IDispatch_iface);
}

HRESULT STDMETHODCALLTYPE Arguments_QueryInterface(IDispatch *iface, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *ppv = iface;
    IDispatch_AddRef(iface);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE Arguments_AddRef(IDispatch *iface) {
  return static_cast<ULONG>(InterlockedIncrement(&impl_from_IDispatch(iface)->ref));
}

ULONG STDMETHODCALLTYPE Arguments_Release(IDispatch *iface) {
  Arguments *This = impl_from_IDispatch(iface);
  LONG ref = InterlockedDecrement(&This->ref);
  if (ref == 0) delete This;
  return static_cast<ULONG>(ref);
}

HRESULT STDMETHODCALLTYPE Arguments_GetTypeInfoCount(IDispatch *, UINT *count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE Arguments_GetTypeInfo(IDispatch *, UINT, LCID, ITypeInfo **info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT STDMETHODCALLTYPE Arguments_GetIDsOfNames(IDispatch *, REFIID, LPOLESTR *names, UINT count,
                                                  LCID, DISPID *ids) {
  return LookupNames(kArgumentsNames, ARRAYSIZE(kArgumentsNames), names, count, ids);
}

// The argument at the index given by the call's first parameter.
HRESULT GetItem(Arguments *This, DISPPARAMS *params, VARIANT *result, EXCEPINFO *excepinfo) {
  const VARIANT *indexArg = DispatchArg(params, 0);
  if (!indexArg) return DISP_E_BADPARAMCOUNT;
  VARIANT index;
  VariantInit(&index);
  HRESULT hr = VariantChangeType(&index, const_cast<VARIANT *>(indexArg), 0, VT_I4);
  if (FAILED(hr)) return RaiseError(excepinfo, hr, L"The argument index is not a number");
  const std::vector<std::wstring> &args = This->host->arguments;
  if (V_I4(&index) < 0 || static_cast<size_t>(V_I4(&index)) >= args.size())
    return RaiseError(excepinfo, DISP_E_BADINDEX, L"Subscript out of range");
  if (!result) return S_OK;
  const std::wstring &item = args[static_cast<size_t>(V_I4(&index))];
  V_VT(result) = VT_BSTR;
  V_BSTR(result) = SysAllocStringLen(item.data(), static_cast<UINT>(item.size()));
  return V_BSTR(result) ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE Arguments_Invoke(IDispatch *iface, DISPID id, REFIID, LCID, WORD flags,
                                           DISPPARAMS *params, VARIANT *result,
                                           EXCEPINFO *excepinfo, UINT *) {
  Arguments *This = impl_from_IDispatch(iface);
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  if (result) VariantInit(result);
  switch (id) {
    case DISPID_ARGS_ITEM:
      return GetItem(This, params, result, excepinfo);
    case DISPID_ARGS_COUNT:
    case DISPID_ARGS_LENGTH:
      if (result) {
        V_VT(result) = VT_I4;
        V_I4(result) = static_cast<LONG>(This->host->arguments.size());
      }
      return S_OK;
    case DISPID_NEWENUM: {
      IEnumVARIANT *enumerator;
      HRESULT hr = CreateStringEnum(This->host->arguments, &enumerator);
      if (FAILED(hr)) return hr;
      if (!result) {
        IEnumVARIANT_Release(enumerator);
        return S_OK;
      }
      V_VT(result) = VT_UNKNOWN;
      V_UNKNOWN(result) = reinterpret_cast<IUnknown *>(enumerator);
      return S_OK;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

const IDispatchVtbl ArgumentsVtbl = {
    .QueryInterface = Arguments_QueryInterface,
    .AddRef = Arguments_AddRef,
    .Release = Arguments_Release,
    .GetTypeInfoCount = Arguments_GetTypeInfoCount,
    .GetTypeInfo = Arguments_GetTypeInfo,
    .GetIDsOfNames = Arguments_GetIDsOfNames,
    .Invoke = Arguments_Invoke,
};

}  // namespace

HRESULT CreateArguments(HostState *host, IDispatch **arguments) {
  if (!arguments) return E_POINTER;
  Arguments *This = new (std::nothrow) Arguments{{&ArgumentsVtbl}, 1, host};
  *arguments = This ? &This->IDispatch_iface : nullptr;
  return This ? S_OK : E_OUTOFMEMORY;
}
