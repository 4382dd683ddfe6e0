// The component's argument and result type: an automation type code and its value.
//
// The Windows module maps VARIANT to Variant one to one (BSTR to narrow text in
// the ANSI code page); native callers build Variants directly. Script engines
// pass variables by reference (VT_BYREF | type); Deref() gives the referenced
// value, and every argument check is made on that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/secure_wipe.h"

namespace corvane {

class CallbackTarget;

// Automation type codes, as VARIANT carries them.
enum VarType : uint16_t {
  kVtEmpty = 0,
  kVtNull = 1,
  kVtI2 = 2,
  kVtI4 = 3,
  kVtR8 = 5,
  kVtBstr = 8,
  kVtDispatch = 9,
  kVtBool = 11,
  kVtInt = 22,
  kVtByRef = 0x4000,
};

// HRESULT values the interface returns: kS_OK done (the VT_INT result says
// how it went, see protocol/results.h); kE_FAIL a call that could not be
// carried out (a negative keep-alive period, a reader that would not start);
// kE_POINTER no place for the result; kHrSendFailed SendConnect could not
// send the tunnel request (its result holds -3).
using HResult = int32_t;
inline constexpr HResult kS_OK = 0;
inline constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult kE_POINTER = static_cast<HResult>(0x80004003u);
inline constexpr HResult kHrSendFailed = static_cast<HResult>(0xFFFFFFFFu);

struct Variant {
  uint16_t vt = kVtEmpty;
  int32_t intValue = 0;                    // VT_I2, VT_I4, VT_INT; VT_BOOL: -1 true, 0 false
  double doubleValue = 0;                  // VT_R8
  std::string text;                        // VT_BSTR, narrow
  std::shared_ptr<CallbackTarget> object;  // VT_DISPATCH
  const Variant* ref = nullptr;            // with kVtByRef: the referenced value

  static Variant Empty() { return Variant{}; }
  static Variant I2(int16_t v) { return Numeric(kVtI2, v); }
  static Variant I4(int32_t v) { return Numeric(kVtI4, v); }
  static Variant Int(int32_t v) { return Numeric(kVtInt, v); }
  static Variant Bool(bool v) { return Numeric(kVtBool, v ? -1 : 0); }
  static Variant R8(double v) {
    Variant r;
    r.vt = kVtR8;
    r.doubleValue = v;
    return r;
  }
  static Variant Str(std::string s) {
    Variant r;
    r.vt = kVtBstr;
    r.text = std::move(s);
    return r;
  }
  static Variant Dispatch(std::shared_ptr<CallbackTarget> o) {
    Variant r;
    r.vt = kVtDispatch;
    r.object = std::move(o);
    return r;
  }
  static Variant ByRef(const Variant& target) {
    Variant r;
    r.vt = static_cast<uint16_t>(kVtByRef | target.vt);
    r.ref = &target;
    return r;
  }

  // The value itself: references followed to their target.
  const Variant& Deref() const {
    const Variant* v = this;
    while ((v->vt & kVtByRef) != 0 && v->ref != nullptr) v = v->ref;
    return *v;
  }
  uint16_t Type() const { return Deref().vt; }

  // The 32-bit value of a numeric argument (a double is truncated); 0 for the
  // other types, which the interface does not convert.
  int32_t Int32() const;

  // Clears to VT_EMPTY.
  void Clear() { *this = Variant{}; }
  // Overwrites the text before letting it go: an argument may be a credential.
  void Wipe() { SecureWipe(text); }

 private:
  static Variant Numeric(uint16_t type, int32_t v) {
    Variant r;
    r.vt = type;
    r.intValue = v;
    return r;
  }
};

}  // namespace corvane
