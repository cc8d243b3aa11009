# One helper per kind of target, so that every target gets the same
# language level, warnings and sanitizer flags.

function(korvel_compile_options target)
  # Only for C++ (and C): a Windows resource compiler takes none of these.
  if(MSVC)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:/W4 /utf-8>)
  else()
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Wshadow -Wnon-virtual-dtor>)
  endif()
  if(KORVEL_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(KORVEL_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
    # The programs of a fuzzing build are instrumented too and need the runtimes.
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# korvel_library(name SOURCES ... DEPS ...): a static library of one subsystem.
function(korvel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  korvel_compile_options(${name})
endfunction()

# korvel_test(name SOURCES ... DEPS ... [LABELS ...]): a GoogleTest binary
# whose cases ctest lists one by one.
function(korvel_test name)
  if(NOT KORVEL_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  korvel_compile_options(${name})
  if(CMAKE_CROSSCOMPILING)
    # Under the emulator (wine) every process start costs about half a
    # second: the program runs its cases in one process, as one ctest test.
    add_test(NAME ${name} COMMAND ${name})
    if(ARG_PROPERTIES)
      set_tests_properties(${name} PROPERTIES ${ARG_PROPERTIES})
    endif()
  else()
    if(KORVEL_SANITIZE)
      # Third-party leaks the program cannot free are listed in lsan.supp.
      list(APPEND ARG_PROPERTIES ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tools/ci/lsan.supp")
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${ARG_PROPERTIES})
  endif()
endfunction()

# korvel_program(name SOURCES ... DEPS ...): one of the shipped executables.
function(korvel_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  korvel_compile_options(${name})
endfunction()

# korvel_bench(name SOURCES ... DEPS ...): a benchmark, built only on demand.
function(korvel_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  korvel_compile_options(${name})
endfunction()

# korvel_fuzzer(name SOURCES ... DEPS ...): a libFuzzer target (clang).
function(korvel_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  korvel_compile_options(${name})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()

# korvel_windows_resource(target template): on Windows, the executable's
# resources (its version resource) from `template`, a .rc file configured
# with the project's version; nothing elsewhere.
function(korvel_windows_resource target template)
  if(NOT WIN32)
    return()
  endif()
  get_filename_component(name ${template} NAME_WLE)
  configure_file(${template} ${CMAKE_CURRENT_BINARY_DIR}/${name} @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name})
endfunction()
