# Builds every library, program and unit test once per variant. Sources are
# found by folder, so adding a file never needs an edit here:
#   library/<layer>/*.cpp       -> vmlib<sfx>         (static)
#   cli/*.cpp minus main.cpp    -> tarnwick_cli<sfx>  (static), + main.cpp -> Tarnwick<sfx>
#   kelvane/**/*.c{,pp} minus kelvane/main.cpp -> kelvane_core<sfx>, + main -> kelvane<sfx>
#   tests/unit/<area>/*.cpp     -> unit_<area><sfx>   (one ctest test each; support/ and
#                                  fakes/ are shared by the areas)
#   tests/programs/*.cpp        -> tp_<name><sfx>     (helper programs the Python tests start)
#   tests/**/test_*.py          -> py_<name><sfx>     (plain and asan only)
file(GLOB_RECURSE TW_LIB_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/library/*.cpp)
file(GLOB TW_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cli/*.cpp)
list(REMOVE_ITEM TW_CLI_SOURCES ${CMAKE_SOURCE_DIR}/cli/main.cpp)
file(GLOB_RECURSE TW_KELVANE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/kelvane/*.cpp ${CMAKE_SOURCE_DIR}/kelvane/*.c)
list(REMOVE_ITEM TW_KELVANE_SOURCES ${CMAKE_SOURCE_DIR}/kelvane/main.cpp)
file(GLOB TW_UNIT_AREAS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*)
file(GLOB TW_TEST_PROGRAMS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/programs/*.cpp)
file(GLOB_RECURSE TW_PY_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/test_*.py)

find_package(Python3 COMPONENTS Interpreter REQUIRED)

function(tw_variant v)
  if(v STREQUAL "plain")
    set(sfx "")
    set(flags "")
  elseif(v STREQUAL "asan")
    set(sfx "_asan")
    set(flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  elseif(v STREQUAL "tsan")
    set(sfx "_tsan")
    set(flags -fsanitize=thread -fno-omit-frame-pointer)
  else()
    message(FATAL_ERROR "unknown variant ${v}")
  endif()

  add_library(vmlib${sfx} STATIC ${TW_LIB_SOURCES})
  target_include_directories(vmlib${sfx} PUBLIC ${CMAKE_SOURCE_DIR}/library)
  target_compile_options(vmlib${sfx} PUBLIC ${flags} PRIVATE ${TW_WARNINGS})
  target_link_options(vmlib${sfx} PUBLIC ${flags})
  target_link_libraries(vmlib${sfx} PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

  add_library(tarnwick_cli${sfx} STATIC ${TW_CLI_SOURCES})
  target_include_directories(tarnwick_cli${sfx} PUBLIC ${CMAKE_SOURCE_DIR}/cli)
  target_compile_options(tarnwick_cli${sfx} PRIVATE ${TW_WARNINGS})
  target_link_libraries(tarnwick_cli${sfx} PUBLIC vmlib${sfx})

  add_executable(Tarnwick${sfx} ${CMAKE_SOURCE_DIR}/cli/main.cpp)
  target_compile_options(Tarnwick${sfx} PRIVATE ${TW_WARNINGS})
  target_link_libraries(Tarnwick${sfx} PRIVATE tarnwick_cli${sfx})

  add_library(kelvane_core${sfx} STATIC ${TW_KELVANE_SOURCES})
  target_include_directories(kelvane_core${sfx} PUBLIC ${CMAKE_SOURCE_DIR}/kelvane ${CMAKE_SOURCE_DIR}/kelvane/libfru)
  target_compile_options(kelvane_core${sfx} PUBLIC ${flags} PRIVATE ${TW_WARNINGS})
  target_link_options(kelvane_core${sfx} PUBLIC ${flags})
  target_link_libraries(kelvane_core${sfx} PUBLIC ZLIB::ZLIB EXPAT::EXPAT)

  add_executable(kelvane${sfx} ${CMAKE_SOURCE_DIR}/kelvane/main.cpp)
  target_compile_options(kelvane${sfx} PRIVATE ${TW_WARNINGS})
  target_link_libraries(kelvane${sfx} PRIVATE kelvane_core${sfx})

  foreach(area_dir IN LISTS TW_UNIT_AREAS)
    if(NOT IS_DIRECTORY ${area_dir})
      continue()
    endif()
    get_filename_component(area ${area_dir} NAME)
    # support/ and fakes/ hold what the areas share, not tests of their own.
    if(area STREQUAL "support" OR area STREQUAL "fakes")
      continue()
    endif()
    file(GLOB area_src CONFIGURE_DEPENDS ${area_dir}/*.cpp)
    if(NOT area_src)
      continue()
    endif()
    # Failures reported while a test captures stdout still reach the log.
    list(APPEND area_src ${CMAKE_SOURCE_DIR}/tests/unit/support/CapturedFailureEcho.cpp)
    set(t unit_${area}${sfx})
    add_executable(${t} ${area_src})
    target_compile_options(${t} PRIVATE ${TW_WARNINGS})
    target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
    target_link_libraries(${t} PRIVATE tarnwick_cli${sfx} kelvane_core${sfx}
                          GTest::gmock GTest::gtest_main)
    target_compile_definitions(${t} PRIVATE
      TW_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      TW_TARNWICK_BIN="$<TARGET_FILE:Tarnwick${sfx}>"
      TW_KELVANE_BIN="$<TARGET_FILE:kelvane${sfx}>")
    add_test(NAME ${t} COMMAND ${t})
    # Generous: one area's program under ThreadSanitizer on a loaded machine
    # has taken eight minutes.
    set_tests_properties(${t} PROPERTIES LABELS "unit;${v}" TIMEOUT 1800
      ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1;ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1")
  endforeach()

  foreach(src IN LISTS TW_TEST_PROGRAMS)
    get_filename_component(n ${src} NAME_WE)
    add_executable(tp_${n}${sfx} ${src})
    target_compile_options(tp_${n}${sfx} PRIVATE ${TW_WARNINGS})
    target_link_libraries(tp_${n}${sfx} PRIVATE vmlib${sfx})
  endforeach()

  if(NOT v STREQUAL "tsan")
    foreach(py IN LISTS TW_PY_TESTS)
      get_filename_component(n ${py} NAME_WE)
      set(t py_${n}${sfx})
      get_filename_component(pydir ${py} DIRECTORY)
      # unittest takes a file path only below the working directory (the build
      # dir), so the file is found by discovery in its own folder instead.
      add_test(NAME ${t} COMMAND ${Python3_EXECUTABLE} -m unittest discover -v
               -s ${pydir} -t ${pydir} -p ${n}.py)
      set_tests_properties(${t} PROPERTIES LABELS "python;${v}" TIMEOUT 900
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
        ENVIRONMENT "PYTHONPATH=${CMAKE_SOURCE_DIR}/tests;TARNWICK_BIN=$<TARGET_FILE:Tarnwick${sfx}>;KELVANE_BIN=$<TARGET_FILE:kelvane${sfx}>;TW_SOURCE_DIR=${CMAKE_SOURCE_DIR};TW_VARIANT=${v};TW_PROGRAM_DIR=${CMAKE_BINARY_DIR};ASAN_OPTIONS=detect_leaks=1")
    endforeach()
  endif()
endfunction()
