# Comparison with a third-party logger, built only where its development
# package is installed; the product itself never links it.
find_package(spdlog QUIET)
if(spdlog_FOUND AND TARGET logging_bench)
  target_link_libraries(logging_bench PRIVATE spdlog::spdlog)
  target_compile_definitions(logging_bench PRIVATE QORV_HAVE_SPDLOG=1)
endif()
