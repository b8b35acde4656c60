# Installation: the public headers, the versioned shared library, a CMake
# package (find_package(Tarvonel) -> Tarvonel::tarvonel) and a pkg-config
# file (tarvonel). Both are relocatable: `cmake --install <build> --prefix
# <anywhere>` works.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TRV_PUBLIC_HEADERS
  ${CMAKE_SOURCE_DIR}/sdk/TarvonelSDK.h
  ${CMAKE_SOURCE_DIR}/sdk/ExperimentalTarvonelSDK.h
  ${CMAKE_SOURCE_DIR}/sdk/trv_types.h
  ${CMAKE_SOURCE_DIR}/sdk/tarvonel.h)
set(TRV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvonel)

# Consumers include "TarvonelSDK.h" (or <tarvonel/TarvonelSDK.h>).
target_include_directories(tarvonel INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tarvonel>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS tarvonel EXPORT TarvonelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${TRV_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvonel)
install(EXPORT TarvonelTargets
  NAMESPACE Tarvonel::
  FILE TarvonelTargets.cmake
  DESTINATION ${TRV_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/TarvonelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TarvonelConfig.cmake
  INSTALL_DESTINATION ${TRV_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TarvonelConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TarvonelConfig.cmake ${CMAKE_BINARY_DIR}/TarvonelConfigVersion.cmake
  DESTINATION ${TRV_INSTALL_CMAKEDIR})

# pkg-config finds the prefix from the file's own place.
file(RELATIVE_PATH TRV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TRV_PC_TO_PREFIX "${TRV_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/tarvonel.pc.in ${CMAKE_BINARY_DIR}/tarvonel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tarvonel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
