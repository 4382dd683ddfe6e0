# What both mingw-w64 toolchain files share; they set CMAKE_SYSTEM_PROCESSOR
# and TOOLCHAIN_PREFIX (the target triplet) and include this file.
#
# Debian's -posix compilers: the win32 thread model has no std::thread or
# std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib for mingw comes from Debian's libz-mingw-w64-dev (both architectures);
# link it statically.
set(ZLIB_USE_STATIC_LIBS ON)

# Tests run under Wine through our wrapper (private prefix, output to files);
# it picks the Wine loader that matches the program's architecture.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
