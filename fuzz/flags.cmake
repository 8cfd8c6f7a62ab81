# Compiler settings of the fuzzing build (-DQORV_FUZZ=ON), included by the
# top CMakeLists.txt before any target is defined, so that the core, the
# supervisor and the agent are all instrumented for coverage and checked by
# AddressSanitizer and UndefinedBehaviorSanitizer.  Only the fuzz targets
# link libFuzzer's driver (fuzz/CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "QORV_FUZZ needs clang: CC=clang CXX=clang++ cmake -DQORV_FUZZ=ON ...")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
  -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
add_compile_definitions(QORV_SANITIZED=1)
