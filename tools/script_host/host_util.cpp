// Helpers shared by the parts of the host: name lookup over a fixed table,
// argument access in script order, script errors with a description, the text
// of a value as Echo writes it, and the texts of error codes.
#include "host.h"

HRESULT LookupNames(const DispatchName *table, size_t count, LPOLESTR *names, UINT nameCount,
                    DISPID *ids) {
  if (!names || !ids) return E_POINTER;
  if (nameCount == 0) return S_OK;
  HRESULT hr = S_OK;
  ids[0] = DISPID_UNKNOWN;
  for (size_t i = 0; i < count; i++) {
    if (CompareStringOrdinal(names[0], -1, table[i].name, -1, TRUE) == CSTR_EQUAL) {
      ids[0] = table[i].id;
      break;
    }
  }
  if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  for (UINT i = 1; i < nameCount; i++) {
    ids[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

const VARIANT *DispatchArg(const DISPPARAMS *params, UINT i) {
  // Named arguments come first in rgvarg; positional ones follow in reverse.
  if (!params || i >= params->cArgs - params->cNamedArgs) return nullptr;
  const VARIANT *arg = &params->rgvarg[params->cArgs - 1 - i];
  while (V_VT(arg) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(arg)) arg = V_VARIANTREF(arg);
  return arg;
}

HRESULT RaiseError(EXCEPINFO *excepinfo, HRESULT code, const std::wstring &description) {
  if (!excepinfo) return code;
  ZeroMemory(excepinfo, sizeof(*excepinfo));
  excepinfo->bstrSource = SysAllocString(L"WScript");
  excepinfo->bstrDescription =
      SysAllocStringLen(description.data(), static_cast<UINT>(description.size()));
  excepinfo->scode = code;
  return DISP_E_EXCEPTION;
}

HRESULT VariantToText(const VARIANT *value, std::wstring &text) {
  text.clear();
  switch (V_VT(value)) {
    case VT_EMPTY:
      return S_OK;
    case VT_NULL:
      text = L"null";
      return S_OK;
    default:
      break;
  }
  VARIANT converted;
  VariantInit(&converted);
  HRESULT hr = VariantChangeTypeEx(&converted, const_cast<VARIANT *>(value), LOCALE_USER_DEFAULT,
                                   VARIANT_ALPHABOOL, VT_BSTR);
  if (FAILED(hr)) return hr;
  if (V_BSTR(&converted)) text.assign(V_BSTR(&converted), SysStringLen(V_BSTR(&converted)));
  VariantClear(&converted);
  return S_OK;
}

std::wstring SystemMessage(DWORD code) {
  wchar_t *buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  std::wstring message;
  if (length && buffer) message.assign(buffer, length);
  if (buffer) LocalFree(buffer);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.'))
    message.pop_back();
  return message;
}

std::wstring hex32(HRESULT code) {
  wchar_t text[16];
  wsprintfW(text, L"0x%08lX", static_cast<unsigned long>(code));
  return text;
}
