# The scale end to end: CScale through the real port arbiter and links, with the device
# simulator (sorvex-sim, a second process) playing the single-cable scale, the USB POS scale and
# the single-cable scanner-scale (beside the real scanner object); a second test process holds
# the claim.
sorvex_add_test(NAME scale_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scale_e2e_test.cpp ${CMAKE_CURRENT_LIST_DIR}/scale_sim.cpp
  LIBS talvex_scale_testsupport talvex_scanner
  LABELS threaded
  TIMEOUT 300)
add_dependencies(scale_e2e_test sorvex-sim)
