// VARIANT <-> Variant conversion (see the header for the rules).
#include "com/variant_conversion.h"

#include <oleauto.h>

#include <cwchar>

#include "com/dispatch_callback.h"

namespace corvane::com {

std::string NarrowText(const wchar_t* text, size_t length) {
  if (text == nullptr) return std::string();
  size_t end = 0;
  while (end < length && text[end] != L'\0') ++end;
  if (end == 0) return std::string();
  const int wideLength = static_cast<int>(end);
  const int size = WideCharToMultiByte(CP_ACP, 0, text, wideLength, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, wideLength, out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring WideText(std::string_view text) {
  const size_t end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);
  if (text.empty()) return std::wstring();
  const int narrowLength = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), narrowLength, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), narrowLength, out.data(), size);
  return out;
}

namespace {

Variant Typed(VARTYPE vt) {
  Variant v;
  v.vt = vt;
  return v;
}

Variant Integer(VARTYPE vt, int32_t value) {
  Variant v = Typed(vt);
  v.intValue = value;
  return v;
}

Variant Real(VARTYPE vt, double value) {
  Variant v = Typed(vt);
  v.doubleValue = value;
  return v;
}

// The value a by-reference variant points to, as a by-value VARIANT view.
// Returns false when there is nothing to follow (a null reference).
bool Dereference(const VARIANT& in, VARIANT& out) {
  VariantInit(&out);
  const VARTYPE base = static_cast<VARTYPE>(V_VT(&in) & ~VT_BYREF);
  if (V_BYREF(&in) == nullptr) return false;
  V_VT(&out) = base;
  switch (base) {
    case VT_VARIANT:
      out = *V_VARIANTREF(&in);
      return true;
    case VT_I1:
      V_I1(&out) = *V_I1REF(&in);
      return true;
    case VT_UI1:
      V_UI1(&out) = *V_UI1REF(&in);
      return true;
    case VT_I2:
      V_I2(&out) = *V_I2REF(&in);
      return true;
    case VT_UI2:
      V_UI2(&out) = *V_UI2REF(&in);
      return true;
    case VT_I4:
      V_I4(&out) = *V_I4REF(&in);
      return true;
    case VT_UI4:
      V_UI4(&out) = *V_UI4REF(&in);
      return true;
    case VT_INT:
      V_INT(&out) = *V_INTREF(&in);
      return true;
    case VT_UINT:
      V_UINT(&out) = *V_UINTREF(&in);
      return true;
    case VT_ERROR:
      V_ERROR(&out) = *V_ERRORREF(&in);
      return true;
    case VT_BOOL:
      V_BOOL(&out) = *V_BOOLREF(&in);
      return true;
    case VT_R4:
      V_R4(&out) = *V_R4REF(&in);
      return true;
    case VT_R8:
      V_R8(&out) = *V_R8REF(&in);
      return true;
    case VT_DATE:
      V_DATE(&out) = *V_DATEREF(&in);
      return true;
    case VT_BSTR:
      V_BSTR(&out) = *V_BSTRREF(&in);
      return true;
    case VT_DISPATCH:
      V_DISPATCH(&out) = *V_DISPATCHREF(&in);
      return true;
    case VT_UNKNOWN:
      V_UNKNOWN(&out) = *V_UNKNOWNREF(&in);
      return true;
    default:
      // Types whose value the component never reads: the type code alone.
      return true;
  }
}

}  // namespace

Variant FromVariant(const VARIANT& in) {
  if ((V_VT(&in) & VT_BYREF) != 0) {
    // A shallow view: nothing is copied or owned, so nothing to clear.
    VARIANT value;
    if (!Dereference(in, value)) return Typed(static_cast<VARTYPE>(V_VT(&in) & ~VT_BYREF));
    return FromVariant(value);
  }
  const VARTYPE vt = V_VT(&in);
  switch (vt) {
    case VT_I1:
      return Integer(vt, V_I1(&in));
    case VT_UI1:
      return Integer(vt, V_UI1(&in));
    case VT_I2:
      return Integer(vt, V_I2(&in));
    case VT_UI2:
      return Integer(vt, V_UI2(&in));
    case VT_I4:
      return Integer(vt, V_I4(&in));
    case VT_UI4:
      return Integer(vt, static_cast<int32_t>(V_UI4(&in)));
    case VT_INT:
      return Integer(vt, V_INT(&in));
    case VT_UINT:
      return Integer(vt, static_cast<int32_t>(V_UINT(&in)));
    case VT_ERROR:
      return Integer(vt, V_ERROR(&in));
    case VT_BOOL:
      return Integer(vt, V_BOOL(&in) != VARIANT_FALSE ? -1 : 0);
    case VT_R4:
      return Real(vt, V_R4(&in));
    case VT_R8:
      return Real(vt, V_R8(&in));
    case VT_DATE:
      return Real(vt, V_DATE(&in));
    case VT_BSTR: {
      Variant v = Typed(vt);
      v.text = NarrowText(V_BSTR(&in), V_BSTR(&in) != nullptr ? SysStringLen(V_BSTR(&in)) : 0);
      return v;
    }
    default:
      // VT_EMPTY, VT_NULL, VT_DISPATCH and the rest: the type code is all
      // the interface looks at.
      return Typed(vt);
  }
}

HRESULT ToVariant(const Variant& in, VARIANT* out) {
  if (out == nullptr) return E_POINTER;
  VariantClear(out);
  const Variant& v = in.Deref();
  switch (v.vt) {
    case kVtBstr: {
      const std::wstring wide = WideText(v.text);
      BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
      if (text == nullptr) return E_OUTOFMEMORY;
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = text;
      return S_OK;
    }
    case kVtI2:
      V_VT(out) = VT_I2;
      V_I2(out) = static_cast<SHORT>(v.intValue);
      return S_OK;
    case kVtI4:
      V_VT(out) = VT_I4;
      V_I4(out) = v.intValue;
      return S_OK;
    case kVtInt:
      V_VT(out) = VT_INT;
      V_INT(out) = v.intValue;
      return S_OK;
    case kVtBool:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = v.intValue != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case kVtR8:
      V_VT(out) = VT_R8;
      V_R8(out) = v.doubleValue;
      return S_OK;
    case kVtNull:
      V_VT(out) = VT_NULL;
      return S_OK;
    case kVtDispatch:
      V_VT(out) = VT_DISPATCH;
      V_DISPATCH(out) = TargetDispatch(v.object);
      return S_OK;
    default:
      // VT_EMPTY, and the types a result never has.
      return S_OK;
  }
}

HRESULT WriteResult(const Variant& result, VARIANT* out) {
  if (result.vt == kVtEmpty) return S_OK;
  return ToVariant(result, out);
}

}  // namespace corvane::com
