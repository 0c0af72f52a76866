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

# A GoogleTest executable registered with ctest. Tests sharing a RESOURCE_LOCK
# name never run at the same time under ctest -j.
function(veldmoor_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} veldmoor_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  veldmoor_warnings(${name})
  set(properties LABELS "${ARG_LABELS}")
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
endfunction()
