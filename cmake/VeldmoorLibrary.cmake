# Warnings for our own code only; third-party headers come in as SYSTEM.
function(veldmoor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Werror=return-type)
endfunction()

# One static library per subsystem folder, headers included as "folder/File.h".
function(veldmoor_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  veldmoor_warnings(${name})
endfunction()

# A GoogleTest executable registered with ctest.
function(veldmoor_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} veldmoor_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  veldmoor_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
