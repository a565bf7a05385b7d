# Installation of libqolog: the header, the shared library (and with
# QOLOG_BUILD_STATIC the static one), the CMake package (qolog::qolog), the
# pkg-config file and the lnav format. Included at the end of the top-level
# CMakeLists.txt.
#
# When libqolog is added to another project with add_subdirectory(), nothing
# is installed unless that project sets QOLOG_INSTALL=ON; qolog::qolog is
# available there as an alias target either way.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(DEFINED QOLOG_TOP_LEVEL)
  set(_qolog_install_default ${QOLOG_TOP_LEVEL})
else()
  string(COMPARE EQUAL "${CMAKE_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}"
    _qolog_install_default)
endif()
option(QOLOG_INSTALL "Generate the install rules of libqolog"
  ${_qolog_install_default})

set(_qolog_targets qolog)

# libqolog.a, from the same objects as the shared library. Exported as
# qolog::qolog_static; its file name is libqolog.a.
if(QOLOG_BUILD_STATIC)
  add_library(qolog_static STATIC $<TARGET_OBJECTS:qolog_core>)
  target_include_directories(qolog_static PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(qolog_static PUBLIC Threads::Threads)
  set_target_properties(qolog_static PROPERTIES OUTPUT_NAME qolog)
  add_library(qolog::qolog_static ALIAS qolog_static)
  list(APPEND _qolog_targets qolog_static)
endif()

if(NOT QOLOG_INSTALL)
  return()
endif()

set(QOLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qolog)

install(TARGETS ${_qolog_targets}
  EXPORT qologTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qolog.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The lnav format of the log files (lnav -i installs it for a user).
install(FILES ${PROJECT_SOURCE_DIR}/share/lnav/qolog.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qolog/lnav)

# CMake package: find_package(qolog CONFIG) gives qolog::qolog, and
# qolog::qolog_static when the static library was installed too.
install(EXPORT qologTargets
  NAMESPACE qolog::
  FILE qologTargets.cmake
  DESTINATION ${QOLOG_CMAKE_DIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/qologConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qologConfig.cmake
  INSTALL_DESTINATION ${QOLOG_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/qologConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/qologConfig.cmake
  ${PROJECT_BINARY_DIR}/qologConfigVersion.cmake
  DESTINATION ${QOLOG_CMAKE_DIR})

# pkg-config file. Its prefix is filled in at install time, so that it names
# the prefix really installed into, also when that is chosen with
# `cmake --install <build> --prefix <dir>`.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(QOLOG_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(QOLOG_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(QOLOG_PC_PREFIX "@QOLOG_PC_PREFIX@")  # left for the install-time step
configure_file(${CMAKE_CURRENT_LIST_DIR}/qolog.pc.in
  ${PROJECT_BINARY_DIR}/pkgconfig/qolog.pc.in @ONLY)
install(CODE "
  set(QOLOG_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/qolog.pc.in\"
    \"${PROJECT_BINARY_DIR}/pkgconfig/qolog.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/qolog.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
