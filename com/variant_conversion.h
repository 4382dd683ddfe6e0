// VARIANT <-> Variant at the interface boundary.
//
// In: the type code passes one to one; by-reference variants (VBScript passes
// its variables so) are followed to the value first, so every argument check
// sees the value's own type. BSTRs become narrow text in the ANSI code page,
// up to their first zero character. Out: the result VARIANT is cleared and
// written; texts are widened with the ANSI code page up to their first zero
// byte, and an object (a callback slot's target) is its script object
// (VT_DISPATCH, null for an empty slot).
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <string>
#include <string_view>

#include "component/variant.h"

namespace corvane::com {

// Narrow (ANSI code page) text of a wide string, up to its first zero.
std::string NarrowText(const wchar_t* text, size_t length);
// Wide text of a narrow (ANSI code page) string, up to its first zero byte.
std::wstring WideText(std::string_view text);

// Throws std::bad_alloc only.
Variant FromVariant(const VARIANT& in);

// Clears *out and writes the value; E_OUTOFMEMORY when a BSTR cannot be made.
HRESULT ToVariant(const Variant& in, VARIANT* out);

// A member's result: one it left empty is not written, so *out stays as it
// was; otherwise ToVariant.
HRESULT WriteResult(const Variant& result, VARIANT* out);

}  // namespace corvane::com
