# One version for all that ships: CMake's project version (project() in the
# top CMakeLists.txt; a release changes that line and nothing else). It is
#   - the VERSIONINFO of every shipped Windows binary (corvane_version_resource
#     below), through the generated header corvane_version.h;
#   - the MSIs' ProductVersion (scripts/build-msi and scripts/build-bridge-msi
#     read it from the build tree's cache);
#   - the native package's (corvane.pc, corvaneConfigVersion.cmake).
# The type library keeps the version its IDL declares: it changes with the
# interfaces, not with every release.

set(CORVANE_VERSION_TWEAK 0)
if(PROJECT_VERSION_TWEAK)
  set(CORVANE_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
# The four-part version of the fixed block and the FileVersion string.
set(CORVANE_FILE_VERSION
  ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${CORVANE_VERSION_TWEAK})
# The names application control (AppLocker's publisher rules) and installers
# read: the same for every binary and every version. The company is the
# packages' Manufacturer (com/package/corvane.wxs).
set(CORVANE_PRODUCT_NAME "Corvane")
set(CORVANE_COMPANY_NAME "Corvane")
set(CORVANE_VERSION_DIR ${PROJECT_BINARY_DIR}/version)
configure_file(${CMAKE_CURRENT_LIST_DIR}/corvane_version.h.in
  ${CORVANE_VERSION_DIR}/corvane_version.h @ONLY)

# corvane_version_resource(TARGET FILE_NAME DESCRIPTION [SELF_REGISTER]):
# gives a Windows program or DLL its version block. FILE_NAME is the file the
# target builds (its OriginalFilename; InternalName is FILE_NAME without its
# extension), DESCRIPTION its FileDescription. SELF_REGISTER adds the
# "OLESelfRegister" entry of a COM server that registers itself.
function(corvane_version_resource target file_name description)
  cmake_parse_arguments(ARG "SELF_REGISTER" "" "" ${ARGN})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(file_type VFT_DLL)
  else()
    set(file_type VFT_APP)
  endif()
  get_filename_component(internal_name ${file_name} NAME_WE)
  set(self_register "")
  if(ARG_SELF_REGISTER)
    set(self_register "VALUE \"OLESelfRegister\", \"\\0\"")
  endif()
  set(rc ${CORVANE_VERSION_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  target_include_directories(${target} PRIVATE ${CORVANE_VERSION_DIR})
  set_source_files_properties(${rc} PROPERTIES
    OBJECT_DEPENDS ${CORVANE_VERSION_DIR}/corvane_version.h)
endfunction()
