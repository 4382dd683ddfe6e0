# Cross-compiling the Windows x86 (32-bit) build with mingw-w64: the DLL that
# 32-bit hosts load (Internet Explorer's content processes among them).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
