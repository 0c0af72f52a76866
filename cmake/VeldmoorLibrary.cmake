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

# Test code compiles in about half the time at -Og (measured on test files:
# 8.4 s to 4.7 s at -O2 -g, 9.1 s to 5.3 s under TSan), and CI compiles it
# three times; the code under test keeps the build's optimisation.
function(veldmoor_test_code target)
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Og>)
endfunction()

# A GoogleTest executable registered with ctest. Tests sharing a RESOURCE_LOCK
# name never run at the same time under ctest -j.
#
# VELDMOOR_TEST_SET picks the programs a build registers: "all", "unit" (none
# labelled integration) or "thread" (those labelled thread). Sanitizer builds
# take a subset so they fit CI's time; the others are still defined, so
# add_dependencies and definitions on them hold, but they are not built.
# The target veldmoor_selected_tests builds the selected programs and what
# they run, and nothing else (sanitizer builds need no tools of their own).
set(VELDMOOR_TEST_SET "all" CACHE STRING "all, unit or thread")
set_property(CACHE VELDMOOR_TEST_SET PROPERTY STRINGS all unit thread)

function(veldmoor_test_selected labels result)
  set(selected TRUE)
  if(VELDMOOR_TEST_SET STREQUAL "unit" AND "integration" IN_LIST labels)
    set(selected FALSE)
  elseif(VELDMOOR_TEST_SET STREQUAL "thread" AND NOT "thread" IN_LIST labels)
    set(selected FALSE)
  elseif(NOT VELDMOOR_TEST_SET MATCHES "^(all|unit|thread)$")
    message(FATAL_ERROR "VELDMOOR_TEST_SET must be all, unit or thread")
  endif()
  set(${result} ${selected} PARENT_SCOPE)
endfunction()

function(veldmoor_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;RESOURCE_LOCK" ${ARGN})
  veldmoor_test_selected("${ARG_LABELS}" selected)
  if(selected)
    add_executable(${name} ${ARG_SOURCES})
  else()
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} veldmoor_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  veldmoor_warnings(${name})
  veldmoor_test_code(${name})
  if(NOT selected)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY VELDMOOR_SELECTED_TESTS ${name})
  set(properties "")
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
  # gtest_discover_tests flattens a list in PROPERTIES, so a second label
  # would be lost: the labels are set by a file ctest reads after discovery.
  if(ARG_LABELS)
    set(label_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${label_file}"
      "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_file}")
  endif()
endfunction()
