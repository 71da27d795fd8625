# sorvex_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                 [TIMEOUT <seconds>])
#
# Builds one GoogleTest executable into build/bin and registers each of its tests with CTest.
# Every test runs with SORVEX_ROOT below the build tree, so nothing touches the machine's state
# root; fixtures that need a fresh root make one of their own (tests/support/temp_root.h).
# Label "threaded" marks the tests that the ThreadSanitizer pass runs.
include(GoogleTest)
function(sorvex_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} sorvex_testsupport GTest::gmock GTest::gtest_main)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${T_NAME}
    TEST_PREFIX "${T_NAME}."
    DISCOVERY_TIMEOUT 60
    PROPERTIES
      LABELS "${T_LABELS}"
      TIMEOUT ${T_TIMEOUT}
      ENVIRONMENT "SORVEX_ROOT=${CMAKE_BINARY_DIR}/test-root")
endfunction()
