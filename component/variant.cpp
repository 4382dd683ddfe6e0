#include "component/variant.h"

#include <cmath>
#include <limits>

namespace corvane {

int32_t Variant::Int32() const {
  const Variant& v = Deref();
  switch (v.vt) {
    case kVtI2:
    case kVtI4:
    case kVtInt:
    case kVtBool:
      return v.intValue;
    case kVtR8: {
      // Truncated toward zero; out-of-range values saturate rather than
      // invoke undefined behaviour.
      const double d = v.doubleValue;
      if (std::isnan(d)) return 0;
      if (d >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
      if (d <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
      return static_cast<int32_t>(d);
    }
    default:
      return 0;
  }
}

}  // namespace corvane
