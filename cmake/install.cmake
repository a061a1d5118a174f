# Installation: the header, the library (with its soname), a pkg-config file, a CMake package
# (find_package(Dorvane) gives Dorvane::dorvane), the tool (tools/CMakeLists.txt), the docs and
# examples, and the Python binding's sources; CPack makes a Debian package of it.
include(CMakePackageConfigHelpers)

if(NOT WIN32)
  set_target_properties(dorvane PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

set(DORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Dorvane)
install(EXPORT DorvaneTargets NAMESPACE Dorvane:: DESTINATION ${DORVANE_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/DorvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/DorvaneConfig.cmake INSTALL_DESTINATION ${DORVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/DorvaneConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/DorvaneConfig.cmake ${PROJECT_BINARY_DIR}/DorvaneConfigVersion.cmake
        DESTINATION ${DORVANE_CMAKE_DIR})

# The pkg-config file finds the prefix from its own place, so an installed tree can move.
file(RELATIVE_PATH DORVANE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" DORVANE_PC_TO_PREFIX "${DORVANE_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/dorvane.pc.in ${PROJECT_BINARY_DIR}/dorvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dorvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(DORVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/dorvane)
file(GLOB DORVANE_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${DORVANE_DOCS} DESTINATION ${DORVANE_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/examples/ DESTINATION ${DORVANE_DOC_DIR}/examples)
# `pip install /usr/share/dorvane/python` installs the binding from an installed tree.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/ DESTINATION ${CMAKE_INSTALL_DATADIR}/dorvane/python)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME dorvane)
  set(CPACK_PACKAGE_VENDOR "Dorvane")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JTAG and SWD through FTDI MPSSE pods: library, header, tool")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Dorvane developers <dorvane@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
  include(CPack)
endif()
