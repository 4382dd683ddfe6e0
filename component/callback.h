// A callback slot's target: what a script assigned to a callback property.
//
// On Windows it is an IDispatch with the identifier of its member "call" (the
// COM module implements it); natively it is a C++ callable. Either way a call
// passes the component and the event text: the text up to its first zero
// byte. A native host that wants the event itself (which connection, the
// logon code and status) overrides Deliver instead of parsing the text.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "delivery/event.h"

namespace corvane {

class CComponentMethods;

class CallbackTarget {
 public:
  virtual ~CallbackTarget() = default;
  // Must not throw; a failing script callback is the target's own business.
  virtual void Call(CComponentMethods& component, const std::string& text) = 0;
  // One event for this slot; by default Call with its text up to the first
  // zero byte.
  virtual void Deliver(CComponentMethods& component, const Event& event);
};

using CallbackFunction = std::function<void(CComponentMethods&, const std::string&)>;

// A native callback target over a std::function.
std::shared_ptr<CallbackTarget> MakeCallback(CallbackFunction function);

}  // namespace corvane
