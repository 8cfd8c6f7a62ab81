# Comparison with a third-party logger, built only where its development
# package is installed; the product itself never links it.
find_package(spdlog QUIET)
if(spdlog_FOUND AND TARGET logging_bench)
  target_link_libraries(logging_bench PRIVATE spdlog::spdlog)
  target_compile_definitions(logging_bench PRIVATE QORV_HAVE_SPDLOG=1)
endif()

# The timer wheel's comparison with a general-purpose event library's
# timers, built only where its development package (libevent-dev) is
# installed; the product never links it.
find_path(QORV_LIBEVENT_INCLUDE event2/event.h)
find_library(QORV_LIBEVENT_LIB NAMES event_core event)
if(QORV_LIBEVENT_INCLUDE AND QORV_LIBEVENT_LIB AND TARGET ftimer_bench)
  target_include_directories(ftimer_bench PRIVATE ${QORV_LIBEVENT_INCLUDE})
  target_link_libraries(ftimer_bench PRIVATE ${QORV_LIBEVENT_LIB})
  target_compile_definitions(ftimer_bench PRIVATE QORV_HAVE_LIBEVENT=1)
endif()

# The agent's socket scan, timed against ss, links the scan's own sources.
if(TARGET sockets_bench)
  target_sources(sockets_bench PRIVATE ${CMAKE_SOURCE_DIR}/src/agent/agent_sockets.cc
    ${CMAKE_SOURCE_DIR}/src/agent/agent_diag.cc)
  target_include_directories(sockets_bench PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(sockets_bench PRIVATE qorv_agent_net)
endif()
if(TARGET kv_metadata_bench)
  target_link_libraries(kv_metadata_bench PRIVATE qorv_agent_net)
endif()
