// The IDispatch callback target: "call" looked up at assignment, invoked per
// event with the text and the component.
#include "com/dispatch_callback.h"

#include <oleauto.h>

#include "com/variant_conversion.h"

namespace corvane::com {
namespace {

// The event text as a new BSTR, widened with the ANSI code page up to its
// first zero byte (as WideText does) straight into the BSTR, without a
// temporary: this runs once per event. Null when out of memory.
BSTR EventText(std::string_view text) {
  const size_t end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);
  const UINT length = static_cast<UINT>(text.size());
  // A narrow character never becomes more than one UTF-16 unit in an ANSI
  // code page, so the narrow length is enough room.
  BSTR wide = SysAllocStringLen(nullptr, length);
  if (wide == nullptr || length == 0) return wide;
  const int made = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(length), wide,
                                       static_cast<int>(length));
  if (static_cast<UINT>(made) == length) return wide;
  // A double-byte code page: fewer units than bytes.
  BSTR exact = SysAllocStringLen(wide, made > 0 ? static_cast<UINT>(made) : 0);
  SysFreeString(wide);
  return exact;
}

}  // namespace

DispatchCallback::DispatchCallback(IDispatch* target, IUnknown* component, LONG* calls)
    : m_target(target), m_component(component), m_calls(calls) {
  m_target->AddRef();
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"call")};
  if (FAILED(m_target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &m_callId)))
    m_callId = DISPID_UNKNOWN;
}

DispatchCallback::~DispatchCallback() { m_target->Release(); }

void DispatchCallback::Call(CComponentMethods& /*component*/, const std::string& text) {
  // The script may assign the property again while its function runs, which
  // destroys this target: from here on only locals are used, and the script
  // object is held by a reference of our own until the call has returned.
  IDispatch* const target = m_target;
  IUnknown* const component = m_component;
  LONG* const calls = m_calls;
  const DISPID callId = m_callId;
  target->AddRef();
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  try {
    V_BSTR(&args[0]) = EventText(text);
    IDispatch* self = nullptr;
    // Our own IDispatch through the controlling unknown: an aggregating
    // object is the component the script sees.
    if (V_BSTR(&args[0]) != nullptr &&
        SUCCEEDED(component->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&self)))) {
      V_VT(&args[0]) = VT_BSTR;
      V_VT(&args[1]) = VT_DISPATCH;
      V_DISPATCH(&args[1]) = self;
      DISPPARAMS params = {args, nullptr, 2, 0};
      EXCEPINFO exception = {};
      UINT argError = 0;
      // The component stays alive meanwhile: args[1] holds a reference.
      ++*calls;
      target->Invoke(callId, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                     &exception, &argError);
      --*calls;
      SysFreeString(exception.bstrSource);
      SysFreeString(exception.bstrDescription);
      SysFreeString(exception.bstrHelpFile);
    } else {
      SysFreeString(V_BSTR(&args[0]));
      V_BSTR(&args[0]) = nullptr;
    }
  } catch (...) {
  }
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  target->Release();
}

IDispatch* TargetDispatch(const std::shared_ptr<CallbackTarget>& target) {
  const auto* callback = dynamic_cast<const DispatchCallback*>(target.get());
  if (callback == nullptr) return nullptr;
  callback->Target()->AddRef();
  return callback->Target();
}

}  // namespace corvane::com
