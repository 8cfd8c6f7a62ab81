# Packaging and documentation tests: the build directory (for cpack), the
# project's version, and the compressed manual pages they package.
foreach(t IN ITEMS packaging_deb_test packaging_service_unit_test packaging_manpage_test)
  if(TARGET ${t})
    target_compile_definitions(${t} PRIVATE
      QORV_BUILD_DIR="${CMAKE_BINARY_DIR}" QORV_VERSION="${PROJECT_VERSION}"
      QORV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(${t} qorv_operator_files)
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
