# Packaging and documentation tests: the build directory (for cpack), the
# project's version, and the compressed manual pages they package.
foreach(t IN ITEMS packaging_deb_test packaging_service_unit_test packaging_manpage_test)
  if(TARGET ${t})
    target_compile_definitions(${t} PRIVATE
      QORV_BUILD_DIR="${CMAKE_BINARY_DIR}" QORV_VERSION="${PROJECT_VERSION}"
      QORV_SOURCE_DIR="${CMAKE_SOURCE_DIR}" QORV_LIB_DIR="${QORV_LIB_DIR}")
    add_dependencies(${t} qorv_operator_files qorv_core_archive)
  endif()
endforeach()
# The unit's paths are checked against the supervisor's own defaults.
if(TARGET packaging_service_unit_test AND TARGET qorv_supervisor)
  target_link_libraries(packaging_service_unit_test PRIVATE qorv_supervisor)
endif()
# Tests of the control socket's client side, and the replay of the text
# fuzz target, link its shared code.
foreach(t IN ITEMS tools_netctl_prom_test tools_netctl_tool_test fuzz_regress_fuzz_regress_test)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE qorv_netctl_client)
  endif()
endforeach()
# The installed library (packaging_lib_test): the start-up order program of
# tests/consumer linked as this tree's programs are, to compare with the
# same program built against the installed library; what the test needs to
# install the library and to build against it as this build does.
add_executable(lib_startup_order consumer/startup_order.cc)
target_link_libraries(lib_startup_order PRIVATE qorv_core)
if(TARGET packaging_lib_test)
  target_compile_definitions(packaging_lib_test PRIVATE
    QORV_BUILD_DIR="${CMAKE_BINARY_DIR}" QORV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    QORV_LIB_DIR="${QORV_LIB_DIR}" QORV_CMAKE="${CMAKE_COMMAND}"
    QORV_GENERATOR="${CMAKE_GENERATOR}" QORV_CXX="${CMAKE_CXX_COMPILER}")
  add_dependencies(packaging_lib_test qorv_core_archive lib_startup_order)
endif()
# docs/API.md is made from the public headers' comments: it must be up to
# date, and every header's opening comment must say which threads may call
# the module or which locks it takes.
add_test(NAME ApiDoc.UpToDate COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/api-doc.py --check)
