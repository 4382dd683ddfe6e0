// The integer results of the component's operations: the VT_INT results that
// scripts see from the interface's members, and what the connection layer
// and the component's own steps return to their callers. (The HRESULTs of the
// interface are in component/variant.h.)
#pragma once

#include <cstdint>

namespace corvane {

// Done: connected, sent, stored.
inline constexpr int32_t kResultOk = 0;
// Failed: a rejected argument, an attempt that did not connect, a name that
// did not resolve, an operation cut short by memory exhaustion.
inline constexpr int32_t kResultFailed = -1;
// The connection would not take the bytes: it is broken or closed, or it
// accepted nothing for the stall limit. sendRequest reports it (and then
// reconnects); SendConnect fails its call with it.
inline constexpr int32_t kResultSendFailed = -3;

}  // namespace corvane
