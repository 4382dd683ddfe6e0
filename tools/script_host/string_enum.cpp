// An IEnumVARIANT over a fixed list of strings: what a collection's _NewEnum
// returns, so VBScript's "For Each" and JScript's Enumerator can walk the
// script arguments. The object owns a copy of the list and a cursor into it.
#include <new>

#include "host.h"

namespace {

struct StringEnum {
  IEnumVARIANT IEnumVARIANT_iface;
  LONG ref;
  std::vector<std::wstring> items;
  size_t next;
};

StringEnum *impl_from_IEnumVARIANT(IEnumVARIANT *iface) {
  return CONTAINING_RECORD(iface, StringEnum, IEnumVARIANT_iface);
}

HRESULT STDMETHODCALLTYPE StringEnum_QueryInterface(IEnumVARIANT *iface, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumVARIANT)) {
    *ppv = iface;
    IEnumVARIANT_AddRef(iface);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE StringEnum_AddRef(IEnumVARIANT *iface) {
  return static_cast<ULONG>(InterlockedIncrement(&impl_from_IEnumVARIANT(iface)->ref));
}

ULONG STDMETHODCALLTYPE StringEnum_Release(IEnumVARIANT *iface) {
  StringEnum *This = impl_from_IEnumVARIANT(iface);
  LONG ref = InterlockedDecrement(&This->ref);
  if (ref == 0) delete This;
  return static_cast<ULONG>(ref);
}

HRESULT STDMETHODCALLTYPE StringEnum_Next(IEnumVARIANT *iface, ULONG count, VARIANT *values,
                                          ULONG *fetched) {
  StringEnum *This = impl_from_IEnumVARIANT(iface);
  if (!values && count) return E_POINTER;
  ULONG done = 0;
  while (done < count && This->next < This->items.size()) {
    const std::wstring &item = This->items[This->next];
    BSTR text = SysAllocStringLen(item.data(), static_cast<UINT>(item.size()));
    if (!text) break;
    VariantInit(&values[done]);
    V_VT(&values[done]) = VT_BSTR;
    V_BSTR(&values[done]) = text;
    This->next++;
    done++;
  }
  if (fetched) *fetched = done;
  return done == count ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE StringEnum_Skip(IEnumVARIANT *iface, ULONG count) {
  StringEnum *This = impl_from_IEnumVARIANT(iface);
  size_t left = This->items.size() - This->next;
  if (count > left) {
    This->next = This->items.size();
    return S_FALSE;
  }
  This->next += count;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE StringEnum_Reset(IEnumVARIANT *iface) {
  impl_from_IEnumVARIANT(iface)->next = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE StringEnum_Clone(IEnumVARIANT *iface, IEnumVARIANT **clone) {
  StringEnum *This = impl_from_IEnumVARIANT(iface);
  if (!clone) return E_POINTER;
  HRESULT hr = CreateStringEnum(This->items, clone);
  if (SUCCEEDED(hr)) impl_from_IEnumVARIANT(*clone)->next = This->next;
  return hr;
}

const IEnumVARIANTVtbl StringEnumVtbl = {
    .QueryInterface = StringEnum_QueryInterface,
    .AddRef = StringEnum_AddRef,
    .Release = StringEnum_Release,
    .Next = StringEnum_Next,
    .Skip = StringEnum_Skip,
    .Reset = StringEnum_Reset,
    .Clone = StringEnum_Clone,
};

}  // namespace

HRESULT CreateStringEnum(const std::vector<std::wstring> &items, IEnumVARIANT **enumerator) {
  if (!enumerator) return E_POINTER;
  *enumerator = nullptr;
  StringEnum *This = new (std::nothrow) StringEnum{{&StringEnumVtbl}, 1, {}, 0};
  if (!This) return E_OUTOFMEMORY;
  try {
    This->items = items;
  } catch (...) {
    delete This;
    return E_OUTOFMEMORY;
  }
  *enumerator = &This->IEnumVARIANT_iface;
  return S_OK;
}
