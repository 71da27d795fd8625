# The object layer: late-bound calls through IDispatch against direct calls, name look-up,
# object creation and ProgID resolution, on the test server library of platform/com.
if(TARGET sorvex_com_test_server)
  sorvex_add_bench(NAME com_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/com_bench.cpp
    LIBS sorvex_platform)
  target_include_directories(com_bench PRIVATE
    $<TARGET_PROPERTY:sorvex_com_test_server,SORVEX_TYPELIB_INCLUDE_DIR>)
  target_compile_definitions(com_bench PRIVATE
    SORVEX_COM_TEST_SERVER="$<TARGET_FILE:sorvex_com_test_server>")
  add_dependencies(com_bench sorvex_com_test_server sorvex_com_test_server_typelib)
endif()
