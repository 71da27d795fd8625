# The package's main job, as a user runs it: scripts/demo.sh on the programs of this build.
add_test(NAME demo COMMAND ${CMAKE_SOURCE_DIR}/scripts/demo.sh --build-dir ${CMAKE_BINARY_DIR})
set_tests_properties(demo PROPERTIES LABELS demo TIMEOUT 180)
