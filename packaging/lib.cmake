# The core runtime as a library for agents built outside this tree: the
# archive libqorv-core.a, the public headers, the CMake package QorvCore
# (target qorv::core) and the pkg-config file qorv-core.pc.  They make the
# install component "dev", which a plain "cmake --install" (the product's
# install root) leaves out:
#
#   cmake --install BUILD --component dev --prefix PREFIX
#
#   PREFIX/include/qorv/core/...               public headers (not *_internal.h)
#   PREFIX/lib/<multiarch>/libqorv-core.a
#   PREFIX/lib/<multiarch>/cmake/QorvCore/     QorvCoreConfig.cmake and its version
#   PREFIX/lib/<multiarch>/pkgconfig/qorv-core.pc
#
# Both package files find the rest relative to where they lie, so the tree
# may move: the Debian package qorv-netmon-dev carries it under /usr.
#
# A static archive, no shared library: the module framework's linker sets
# span one link, so the library's modules and the program's own must be
# linked into the same program to be sorted and started together; and the
# API is plain structures whose layout would make every change an ABI
# break.  The archive is linked whole, before the program's own objects,
# exactly as the programs of this tree link the object library qorv_core.

# The very objects the programs of this tree link, in the same order.
add_library(qorv_core_archive STATIC $<TARGET_OBJECTS:qorv_core>)
set_target_properties(qorv_core_archive PROPERTIES
  OUTPUT_NAME qorv-core LINKER_LANGUAGE CXX
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

set(QORV_INCLUDE_DIR include/qorv)
set(QORV_LIB_DIR lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(QORV_LIB_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(QORV_CONFIG_DIR ${QORV_LIB_DIR}/cmake/QorvCore)
file(RELATIVE_PATH QORV_CONFIG_TO_PREFIX /p/${QORV_CONFIG_DIR} /p)
file(RELATIVE_PATH QORV_PC_TO_PREFIX /p/${QORV_LIB_DIR}/pkgconfig /p)

install(TARGETS qorv_core_archive ARCHIVE DESTINATION ${QORV_LIB_DIR}
  COMPONENT dev EXCLUDE_FROM_ALL)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/src/core DESTINATION ${QORV_INCLUDE_DIR}
  COMPONENT dev EXCLUDE_FROM_ALL
  FILES_MATCHING PATTERN "*.h" PATTERN "*_internal.h" EXCLUDE)

include(CMakePackageConfigHelpers)
set(QORV_LIB_OUT ${CMAKE_BINARY_DIR}/lib)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lib/QorvCoreConfig.cmake.in
  ${QORV_LIB_OUT}/QorvCoreConfig.cmake @ONLY)
# 0.x: a new minor version may change the API.
write_basic_package_version_file(${QORV_LIB_OUT}/QorvCoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${QORV_LIB_OUT}/QorvCoreConfig.cmake ${QORV_LIB_OUT}/QorvCoreConfigVersion.cmake
  DESTINATION ${QORV_CONFIG_DIR} COMPONENT dev EXCLUDE_FROM_ALL)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lib/qorv-core.pc.in ${QORV_LIB_OUT}/qorv-core.pc @ONLY)
install(FILES ${QORV_LIB_OUT}/qorv-core.pc DESTINATION ${QORV_LIB_DIR}/pkgconfig
  COMPONENT dev EXCLUDE_FROM_ALL)
