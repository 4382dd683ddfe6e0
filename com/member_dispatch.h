// IDispatch::Invoke of the component: a call by dispid goes through the
// member table (component/members.h), by the rules the type information's
// ITypeInfo::Invoke applies to this interface, so that scripts see what they
// saw when the type library dispatched:
//
// - The flags pick the function: the first row of the dispid whose kind is
//   among them, so DISPATCH_METHOD | DISPATCH_PROPERTYGET (what script engines
//   send for a call) finds a method or a get. None: DISP_E_MEMBERNOTFOUND.
// - Arguments come last-first (rgvarg[cArgs - 1] is the script's first); a
//   named argument's DISPID is its position, DISPID_PROPERTYPUT the last
//   parameter's, and it takes that place before the positional ones fill the
//   rest. Each is passed as a VariantCopy (so a VT_BYREF | VT_VARIANT stays a
//   reference, followed when read; a malformed one fails the call with
//   VariantCopy's error).
// - A missing argument is DISP_E_BADPARAMCOUNT; so are surplus ones for a
//   member with a result, while a member without one ignores them (the
//   script's last ones).
// - *result is initialised, not cleared (it is an out parameter), and
//   written when the member wrote a result: VT_EMPTY when it wrote none.
//   Members without a result leave it alone; a null result pointer drops the
//   result.
// - A failing HRESULT is DISP_E_EXCEPTION with the HRESULT as EXCEPINFO's
//   scode (and the texts of the thread's error object, if one is set); the
//   result is written all the same. Success codes are S_OK.
// - A get with arguments indexes the property's value: the call goes on to
//   the assigned object's default member (DISPID_VALUE), with the same flags
//   and arguments; DISP_E_NOTACOLLECTION when the slot is empty.
// - A callback property is assigned whether the engine sends a property put
//   or putref (or both): an object, by value or by reference, is the new
//   target; VT_NULL or VT_EMPTY empties the slot; any other value is
//   DISP_E_TYPEMISMATCH (argument 0). Exactly one argument, or
//   DISP_E_BADPARAMCOUNT.
// - Any other call without DISPPARAMS, with more named arguments than
//   arguments, or with a count but no array: E_INVALIDARG.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include "component/component_methods.h"

namespace corvane::com {

// The object a call reaches: its core, and what a callback target assigned
// through it needs (see DispatchCallback).
struct DispatchTarget {
  CComponentMethods& core;
  IUnknown* component;  // the controlling unknown
  LONG* calls;          // the object's count of calls under way
};

// May throw std::bad_alloc.
HRESULT InvokeMember(const DispatchTarget& target, DISPID id, WORD flags, DISPPARAMS* params,
                     VARIANT* result, EXCEPINFO* exception, UINT* argError);

}  // namespace corvane::com
