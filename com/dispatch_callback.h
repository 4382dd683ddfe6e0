// A callback slot's target on Windows: the IDispatch object a script assigned
// to a callback property.
//
// The identifier of its member "call" is looked up once, at assignment
// (IID_NULL, LOCALE_SYSTEM_DEFAULT); a lookup failure is kept as
// DISPID_UNKNOWN and every later call then fails inside Invoke, ignored. A
// call passes two arguments, the event text at index 0 and the component's
// own IDispatch at index 1 (automation's reverse order), as DISPATCH_METHOD,
// so a script function runs with the component as `this` and the text as
// its one argument. The result, the HRESULT and any exception information
// are ignored. The target holds a reference to the script object for as long
// as a slot holds the target. While the script runs, the component's count of
// calls under way is one higher: the script may re-enter the component, whose
// core must then outlive the call.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <memory>
#include <string>

#include "component/callback.h"

namespace corvane::com {

class DispatchCallback final : public CallbackTarget {
 public:
  // component: the COM object's controlling unknown; calls: its count of
  // calls under way. Neither is referenced (the object owns the slots that
  // own this target).
  DispatchCallback(IDispatch* target, IUnknown* component, LONG* calls);
  ~DispatchCallback() override;
  DispatchCallback(const DispatchCallback&) = delete;
  DispatchCallback& operator=(const DispatchCallback&) = delete;

  void Call(CComponentMethods& component, const std::string& text) override;

  IDispatch* Target() const { return m_target; }
  DISPID CallId() const { return m_callId; }

 private:
  IDispatch* m_target;
  IUnknown* m_component;
  LONG* m_calls;
  DISPID m_callId = DISPID_UNKNOWN;
};

// The script object held by a slot's target, with a new reference; null for
// an empty slot (or a target that is not a script object).
IDispatch* TargetDispatch(const std::shared_ptr<CallbackTarget>& target);

}  // namespace corvane::com
