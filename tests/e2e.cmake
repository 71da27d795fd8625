# The whole stack as applications use it: the control objects (libsorvex-opos.so, the public
# API), the real libTalvexSO.so registered into a temporary state root, and the device
# simulator or a second sorvex-pos as child processes. Nothing of the service objects is linked
# in: they are reached only through their registration, as an application reaches them.
add_library(sorvex_e2e_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/e2e_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scale_sim.cpp)
target_link_libraries(sorvex_e2e_support PUBLIC sorvex_opos sorvex_platform sorvex_testsupport
                      GTest::gtest util)
target_compile_definitions(sorvex_e2e_support PRIVATE TALVEXSO_PATH="$<TARGET_FILE:TalvexSO>")
add_dependencies(sorvex_e2e_support TalvexSO sorvex-sim sorvex-regsvr sorvex-pos)

sorvex_add_test(NAME e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_scanner_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/e2e_scale_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/e2e_lane_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/e2e_claim_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/e2e_handler_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/e2e_open_test.cpp
  LIBS sorvex_e2e_support
  LABELS threaded
  TIMEOUT 300)
