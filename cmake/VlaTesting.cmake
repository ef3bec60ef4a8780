include(GoogleTest)
find_package(GTest REQUIRED)

# One GoogleTest executable per library. LABEL is a single label ("threaded"
# marks the tests that the TSan build runs); TIMEOUT comes first because CMake
# 3.25 keeps only the first label when several are given.
function(vla_add_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} vla_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  vla_target_defaults(${name})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${ARG_LABEL}
    TEST_PREFIX "${name}.")
endfunction()
