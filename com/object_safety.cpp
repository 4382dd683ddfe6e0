// IObjectSafety of ComponentMethods: safe for untrusted callers and untrusted
// data (supported options 3), with one 32-bit word of current options that
// starts at 0. Asking about an interface the object does not implement is
// answered with that query's failure. Nothing else reads the options.
//
// An object the site lock refused cannot be made safe for its page: both
// calls fail with E_FAIL for every interface (the outputs 0), so a browser
// that asks after giving the site neither scripts nor initialises it.
#include <objsafe.h>

#include "com/component_object.h"
#include "platform/trace.h"

namespace corvane::com {
namespace {

constexpr DWORD kSupportedOptions =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

}  // namespace

STDMETHODIMP ComponentObject::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                        DWORD* enabled) {
  DebugTrace("IObjectSafetyImpl2::GetInterfaceSafetyOptions\n");
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  if (m_refused) {
    *supported = 0;
    *enabled = 0;
    return E_FAIL;
  }
  IUnknown* unknown = nullptr;
  const HRESULT hr = m_inner.QueryInterface(riid, reinterpret_cast<void**>(&unknown));
  if (FAILED(hr)) {
    *supported = 0;
    *enabled = 0;
    return hr;
  }
  unknown->Release();
  *supported = kSupportedOptions;
  *enabled = m_safetyOptions;
  return S_OK;
}

STDMETHODIMP ComponentObject::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  DebugTrace("IObjectSafetyImpl2::SetInterfaceSafetyOptions\n");
  if (m_refused) return E_FAIL;
  IUnknown* unknown = nullptr;
  if (FAILED(m_inner.QueryInterface(riid, reinterpret_cast<void**>(&unknown))))
    return E_NOINTERFACE;
  unknown->Release();
  if ((mask & ~kSupportedOptions) != 0) return E_FAIL;
  m_safetyOptions = (m_safetyOptions & ~mask) | (enabled & mask);
  return S_OK;
}

}  // namespace corvane::com
