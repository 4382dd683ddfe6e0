// Sockets (Winsock 2.2 or POSIX) behind one small interface.
#pragma once

#include <cstdint>

namespace corvane {

using SocketHandle = std::uintptr_t;  // 0 = none

}  // namespace corvane
