# What "cmake --install" puts under the prefix, included once at the end of the
# top CMakeLists.txt:
#   include/corvane/<layer>/*.h   the native interface (component/client.h,
#                                 component/component_methods.h, ...) and the
#                                 layer headers it includes, by folder, so that
#                                 #include "component/client.h" works with
#                                 -I<prefix>/include/corvane
#   lib/libcorvane_*.a            the component's static libraries
#   bin/                          the tools (natively corvane and
#                                 corvane-backend; on Windows corvane.dll and
#                                 corvane-script.exe)
#   lib/cmake/corvane/            the CMake package: find_package(corvane)
#                                 gives corvane::corvane (every library, zlib,
#                                 threads, C++20), and corvane::<layer> each
#   lib/pkgconfig/corvane.pc      the same for pkg-config (the headers need
#                                 C++20: compile with -std=c++20 or later)
# (lib is CMAKE_INSTALL_LIBDIR). A native test (install_consumer) installs into
# a scratch prefix and builds examples/consumer against it, both ways.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The component's libraries, each layer after the layers it links (the order
# pkg-config's static link line is made from, reversed). A new library is one
# more line here.
set(CORVANE_INSTALL_LIBRARIES
  corvane_protocol
  corvane_platform
  corvane_codec
  corvane_delivery
  corvane_receive
  corvane_send
  corvane_connection
  corvane_session
  corvane_component
)
# The folders whose headers are installed, with their names.
set(CORVANE_INSTALL_HEADER_DIRS protocol codec send receive delivery connection session component
  platform)

set(CORVANE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/corvane)
set(CORVANE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/corvane)

foreach(dir IN LISTS CORVANE_INSTALL_HEADER_DIRS)
  file(GLOB_RECURSE headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${dir}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(header_dir ${header} DIRECTORY)
    install(FILES ${header} DESTINATION ${CORVANE_INSTALL_INCLUDEDIR}/${header_dir}
      COMPONENT development)
  endforeach()
endforeach()

# The libraries name the source tree as their include folder; installed, it is
# the prefix's include/corvane.
set(corvane_pc_libs)
foreach(lib IN LISTS CORVANE_INSTALL_LIBRARIES)
  set_target_properties(${lib} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>;$<INSTALL_INTERFACE:${CORVANE_INSTALL_INCLUDEDIR}>")
  string(REGEX REPLACE "^corvane_" "" short ${lib})
  set_target_properties(${lib} PROPERTIES EXPORT_NAME ${short})
  get_target_property(type ${lib} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    list(PREPEND corvane_pc_libs -l${lib})
  endif()
endforeach()

# corvane::corvane: everything a program that uses the component links.
add_library(corvane_package INTERFACE)
set_target_properties(corvane_package PROPERTIES EXPORT_NAME corvane)
target_link_libraries(corvane_package INTERFACE ${CORVANE_INSTALL_LIBRARIES})
target_compile_features(corvane_package INTERFACE cxx_std_20)

install(TARGETS corvane_package ${CORVANE_INSTALL_LIBRARIES} EXPORT corvaneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CORVANE_INSTALL_INCLUDEDIR})
install(EXPORT corvaneTargets NAMESPACE corvane:: DESTINATION ${CORVANE_INSTALL_CMAKEDIR}
  COMPONENT development)

file(WRITE ${PROJECT_BINARY_DIR}/corvaneConfig.cmake.in [=[
@PACKAGE_INIT@
# Corvane's static libraries and what they link: zlib, the thread library and,
# natively, OpenSSL's libssl for TLS and MIT krb5's GSSAPI for proxy authentication.
include(CMakeFindDependencyMacro)
find_dependency(ZLIB)
find_dependency(Threads)
if(NOT WIN32)
  find_dependency(OpenSSL COMPONENTS SSL Crypto)
endif()
include("${CMAKE_CURRENT_LIST_DIR}/corvaneTargets.cmake")
check_required_components(corvane)
]=])
configure_package_config_file(${PROJECT_BINARY_DIR}/corvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/corvaneConfig.cmake INSTALL_DESTINATION ${CORVANE_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/corvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/corvaneConfig.cmake
  ${PROJECT_BINARY_DIR}/corvaneConfigVersion.cmake
  DESTINATION ${CORVANE_INSTALL_CMAKEDIR} COMPONENT development)

# corvane.pc, relocatable: the prefix is found from the file's own folder.
file(RELATIVE_PATH corvane_pc_up /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" corvane_pc_up "${corvane_pc_up}")
list(JOIN corvane_pc_libs " " corvane_pc_libs)
set(corvane_pc_platform)
set(corvane_pc_requires "zlib")
if(WIN32)
  set(corvane_pc_platform " -lws2_32 -ladvapi32 -luser32")
else()
  set(corvane_pc_requires "zlib, libssl, libcrypto, krb5-gssapi")
endif()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/corvane.pc CONTENT "\
prefix=\${pcfiledir}/${corvane_pc_up}
includedir=\${prefix}/${CORVANE_INSTALL_INCLUDEDIR}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}

Name: corvane
Description: Corvane, the scriptable network client component (native interface)
Version: ${PROJECT_VERSION}
Requires: ${corvane_pc_requires}
Cflags: -I\${includedir}
Libs: -L\${libdir} ${corvane_pc_libs}${corvane_pc_platform} -pthread
")
install(FILES ${PROJECT_BINARY_DIR}/corvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The tools.
foreach(tool corvane-backend corvane-script)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
# corvane bridge's systemd user unit (natively, where the bridge is built),
# written at install time so that ExecStart names the prefix installed to
# (cmake --install --prefix, DESTDIR).
set(CORVANE_SYSTEMD_USER_UNIT_DIR lib/systemd/user CACHE STRING
  "Where the bridge's systemd user unit goes, under the prefix")
if(NOT WIN32 AND TARGET corvane_bridge)
  install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/tools/bridge/corvane-bridge.service.in\" unit)
    string(REPLACE \"@BINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" unit \"\${unit}\")
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CORVANE_SYSTEMD_USER_UNIT_DIR}\")
    message(STATUS \"Installing: \${dir}/corvane-bridge.service\")
    file(WRITE \"\${dir}/corvane-bridge.service\" \"\${unit}\")
  " COMPONENT tools)
endif()
# corvane: the command natively, the in-process server (a DLL) on Windows.
install(TARGETS corvane COMPONENT tools
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The installed tree works: installed into a scratch prefix, the consumer
# example builds against it through the CMake package and through pkg-config,
# and runs. Natively and without sanitizers (a sanitized library needs its
# runtime in the consumer too).
if(CORVANE_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING AND CORVANE_SANITIZE STREQUAL ""
   AND NOT CORVANE_BUILD_FUZZ)
  add_test(NAME install_consumer
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-install ${PROJECT_BINARY_DIR}
      ${PROJECT_BINARY_DIR}/install-test)
  set_tests_properties(install_consumer PROPERTIES TIMEOUT 600)
endif()
