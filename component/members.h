// The script interface as one table: every member a script can reach, what
// the type library declares of it (com/corvane.idl) and how it is called on a
// CComponentMethods. The COM object's IDispatch and the bridge's JSON calls
// both dispatch through it.
//
// One row per function of the interface, in its vtable order (ascending
// dispid, each callback property's get before its putref), 31 of the first
// interface and the 5 its successor adds (dispids 29 to 33), 36 in all:
//
//   name      the member's name exactly as the type library spells it; a
//             callback property's get and putref share theirs
//   dispid    its DISPID (1..33; 3, 4, 16 and 20 are not used)
//   kind      kMethod, kPropertyGet or kPropertyPutRef: the INVOKEKIND of the
//             function (the same values as IDispatch::Invoke's DISPATCH_
//             flags, so a mask of kinds is a mask of those flags)
//   inArgs    how many [in] arguments it takes (a putref: 1, the object)
//   hasResult whether it has an [out, retval] result
//   invoke    calls it with inArgs arguments (args may be null when there are
//             none); the result is what the member wrote, VT_EMPTY when it
//             wrote nothing (or has no result). A get gives
//             Variant::Dispatch(slot), whose object is null for an empty
//             slot; a putref stores the argument's object (Deref'd), so an
//             empty or null argument empties the slot
//
// The checks a script call gets first (argument count, types, the site lock)
// are the caller's; invoke does none.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "component/variant.h"

namespace corvane {

class CComponentMethods;

enum MemberKind : uint8_t {
  kMethod = 1,
  kPropertyGet = 2,
  kPropertyPutRef = 8,
};

struct MemberResult {
  HResult hr = kS_OK;
  Variant result;
};

struct Member {
  std::string_view name;
  int32_t dispid;
  MemberKind kind;
  int inArgs;
  bool hasResult;
  MemberResult (*invoke)(CComponentMethods& component, const Variant* args);
};

// Every row, in vtable order.
std::span<const Member> Members();

// The first row (in vtable order) with this dispid and one of the kinds (a
// mask of MemberKind values), as the type information picks a function for
// IDispatch::Invoke's flags; nullptr when there is none.
const Member* FindMember(int32_t dispid, unsigned kinds);

// Likewise by name: without regard to (ASCII) case, as the type library's
// name look-up is, or exactly as written.
enum class NameMatch { kIgnoreCase, kExact };
const Member* FindMember(std::string_view name, unsigned kinds,
                         NameMatch match = NameMatch::kIgnoreCase);

}  // namespace corvane
