# libFuzzer targets (configure with -DTW_FUZZ=ON and clang, in a build dir of
# their own). The libraries are built once more with the fuzzer's coverage
# instrumentation, ASan and UBSan; every tests/fuzz/fuzz_<name>.cpp becomes an
# executable fuzz_<name> and a ctest test of the same name (label "fuzz") that
# runs every input of its seed corpus tests/fuzz/corpus/<name>/ and then
# TW_FUZZ_RUNS inputs mutated from it with the fixed seed TW_FUZZ_SEED: the
# same code always gives the same answer. Exploring for new inputs is
# scripts/fuzz. New inputs and crash artifacts go to the build dir, never the
# source tree.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TW_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
endif()

set(TW_FUZZ_SEED 1 CACHE STRING "Seed of the fuzz runs under ctest")
set(TW_FUZZ_RUNS 0 CACHE STRING
    "Inputs every fuzz target runs under ctest after its seeds (0: each target's own number below)")
# Each target's number of runs, sized for about a minute on one loaded core:
# the targets that run a session with threads and sockets are the slow ones.
set(TW_FUZZ_RUNS_DEFAULT 150000)
set(TW_FUZZ_RUNS_kelvane_args 40000)
set(TW_FUZZ_RUNS_data_path 4000)
set(TW_FUZZ_RUNS_session_setup 4000)

set(TW_FUZZ_SAN -fsanitize=address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)

add_library(vmlib_fuzz STATIC ${TW_LIB_SOURCES})
target_include_directories(vmlib_fuzz PUBLIC ${CMAKE_SOURCE_DIR}/library)
target_compile_options(vmlib_fuzz PUBLIC -fsanitize=fuzzer-no-link ${TW_FUZZ_SAN}
                       PRIVATE ${TW_WARNINGS})
target_link_options(vmlib_fuzz PUBLIC ${TW_FUZZ_SAN})
target_link_libraries(vmlib_fuzz PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

add_library(kelvane_core_fuzz STATIC ${TW_KELVANE_SOURCES})
target_include_directories(kelvane_core_fuzz PUBLIC ${CMAKE_SOURCE_DIR}/kelvane
                           ${CMAKE_SOURCE_DIR}/kelvane/libfru)
target_compile_options(kelvane_core_fuzz PUBLIC -fsanitize=fuzzer-no-link ${TW_FUZZ_SAN}
                       PRIVATE ${TW_WARNINGS})
target_link_options(kelvane_core_fuzz PUBLIC ${TW_FUZZ_SAN})
target_link_libraries(kelvane_core_fuzz PUBLIC ZLIB::ZLIB EXPAT::EXPAT)

add_library(tarnwick_cli_fuzz STATIC ${TW_CLI_SOURCES})
target_include_directories(tarnwick_cli_fuzz PUBLIC ${CMAKE_SOURCE_DIR}/cli)
target_compile_options(tarnwick_cli_fuzz PRIVATE ${TW_WARNINGS})
target_link_libraries(tarnwick_cli_fuzz PUBLIC vmlib_fuzz)

file(GLOB TW_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
foreach(src IN LISTS TW_FUZZ_SOURCES)
  get_filename_component(t ${src} NAME_WE)
  string(REGEX REPLACE "^fuzz_" "" name ${t})
  add_executable(${t} ${src})
  target_compile_options(${t} PRIVATE ${TW_WARNINGS})
  target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz)
  target_link_libraries(${t} PRIVATE tarnwick_cli_fuzz kelvane_core_fuzz)
  target_link_options(${t} PRIVATE -fsanitize=fuzzer)
  target_compile_definitions(${t} PRIVATE TW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(runs ${TW_FUZZ_RUNS})
  if(NOT runs)
    set(runs ${TW_FUZZ_RUNS_DEFAULT})
    if(DEFINED TW_FUZZ_RUNS_${name})
      set(runs ${TW_FUZZ_RUNS_${name}})
    endif()
  endif()
  add_test(NAME ${t}
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/fuzz/run-fuzzer ci $<TARGET_FILE:${t}>
                   ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name}
                   ${CMAKE_BINARY_DIR}/fuzz-runs/${name} ${TW_FUZZ_SEED} ${runs})
  set_tests_properties(${t} PROPERTIES LABELS "fuzz" TIMEOUT 900
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endforeach()
