// IDispatch::Invoke over the member table (see member_dispatch.h).
#include "com/member_dispatch.h"

#include <oleauto.h>

#include <memory>
#include <vector>

#include "com/dispatch_callback.h"
#include "com/variant_conversion.h"
#include "component/members.h"

namespace corvane::com {
namespace {

static_assert(kMethod == DISPATCH_METHOD && kPropertyGet == DISPATCH_PROPERTYGET &&
              kPropertyPutRef == DISPATCH_PROPERTYPUTREF);

using VariantGuard = std::unique_ptr<VARIANT, decltype(&VariantClear)>;

// The VARIANT a parameter at this position takes: a named one, else the next
// positional one (counted in *positional); null when none is left.
VARIANT* Argument(const DISPPARAMS& params, UINT position, UINT last, UINT* positional) {
  for (UINT j = 0; j < params.cNamedArgs; ++j) {
    const DISPID name = params.rgdispidNamedArgs[j];
    if (name == static_cast<DISPID>(position) || (position == last && name == DISPID_PROPERTYPUT))
      return &params.rgvarg[j];
  }
  if (*positional + params.cNamedArgs >= params.cArgs) return nullptr;
  return &params.rgvarg[params.cArgs - 1 - (*positional)++];
}

// An argument as a VARIANT parameter receives it: a copy.
// Its text is overwritten before the copy goes: it may be a credential.
HRESULT ReadArgument(VARIANT& in, Variant* out) {
  VARIANT copy;
  VariantInit(&copy);
  const VariantGuard guard(&copy, &VariantClear);
  const HRESULT hr = VariantCopy(&copy, &in);
  if (SUCCEEDED(hr)) *out = FromVariant(copy);
  if (V_VT(&copy) == VT_BSTR && V_BSTR(&copy) != nullptr)
    SecureWipe(V_BSTR(&copy), SysStringByteLen(V_BSTR(&copy)));
  return hr;
}

void FillException(EXCEPINFO* exception, HRESULT hr) {
  if (exception == nullptr) return;
  exception->scode = hr;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return;
  info->GetDescription(&exception->bstrDescription);
  info->GetHelpFile(&exception->bstrHelpFile);
  info->GetSource(&exception->bstrSource);
  info->GetHelpContext(&exception->dwHelpContext);
  info->Release();
}

// The object a get wrote to *result takes the get's arguments as its default
// member's.
HRESULT InvokeValue(WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                    UINT* argError) {
  if (V_VT(result) != VT_DISPATCH || V_DISPATCH(result) == nullptr) {
    VariantClear(result);
    return DISP_E_NOTACOLLECTION;
  }
  IDispatch* value = V_DISPATCH(result);  // its reference passes to us
  VariantInit(result);
  const HRESULT hr = value->Invoke(DISPID_VALUE, IID_NULL, GetSystemDefaultLCID(), flags, params,
                                   result, exception, argError);
  value->Release();
  return hr;
}

HRESULT PutCallback(const DispatchTarget& target, const Member& putref, const DISPPARAMS* params,
                    UINT* argError) {
  if (params == nullptr || params->cArgs != 1 || params->rgvarg == nullptr)
    return DISP_E_BADPARAMCOUNT;
  const VARIANT* value = &params->rgvarg[0];
  while (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value) != nullptr)
    value = V_VARIANTREF(value);
  IDispatch* object = nullptr;
  switch (V_VT(value)) {
    case VT_EMPTY:
    case VT_NULL:
      break;
    case VT_DISPATCH:
      object = V_DISPATCH(value);
      break;
    case VT_BYREF | VT_DISPATCH:
      object = V_DISPATCHREF(value) != nullptr ? *V_DISPATCHREF(value) : nullptr;
      break;
    default:
      if (argError != nullptr) *argError = 0;
      return DISP_E_TYPEMISMATCH;
  }
  Variant slot;
  if (object != nullptr)
    slot = Variant::Dispatch(
        std::make_shared<DispatchCallback>(object, target.component, target.calls));
  return putref.invoke(target.core, &slot).hr;
}

}  // namespace

HRESULT InvokeMember(const DispatchTarget& target, DISPID id, WORD flags, DISPPARAMS* params,
                     VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  const Member* putref = FindMember(id, kPropertyPutRef);
  if (putref != nullptr && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0)
    return PutCallback(target, *putref, params, argError);
  if (params == nullptr || params->cNamedArgs > params->cArgs ||
      (params->cArgs != 0 && params->rgvarg == nullptr) ||
      (params->cNamedArgs != 0 && params->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  const Member* member = FindMember(id, flags);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;

  const UINT inArgs = static_cast<UINT>(member->inArgs);
  // The last parameter, which DISPID_PROPERTYPUT names: the result, if any.
  const UINT last = member->hasResult ? inArgs : inArgs - 1;
  std::vector<Variant> args(inArgs);
  UINT positional = 0;
  for (UINT i = 0; i < inArgs; ++i) {
    VARIANT* source = Argument(*params, i, last, &positional);
    if (source == nullptr) return DISP_E_BADPARAMCOUNT;
    const HRESULT hr = ReadArgument(*source, &args[i]);
    if (FAILED(hr)) return hr;
  }
  // An argument in the result's place: only a get takes one, to index its
  // value.
  const bool indexing = member->hasResult && params->cArgs > inArgs;
  if (indexing && (member->kind != kPropertyGet || result == nullptr)) return DISP_E_BADPARAMCOUNT;

  const MemberResult called = member->invoke(target.core, args.data());
  for (Variant& arg : args) arg.Wipe();
  HRESULT hr = called.hr;
  if (member->hasResult && result != nullptr) {
    VariantInit(result);
    const HRESULT written = WriteResult(called.result, result);
    if (FAILED(written)) hr = written;
  }
  if (FAILED(hr)) {
    FillException(exception, hr);
    return DISP_E_EXCEPTION;
  }
  if (indexing) return InvokeValue(flags, params, result, exception, argError);
  return S_OK;
}

}  // namespace corvane::com
