# The whole stack as applications use it: label to the application's DataEvent beside the raw
# pty floor, sustained labels, the idle cost of an enabled lane, and opening a profile. Uses the
# end-to-end tests' helpers (tests/e2e.cmake).
if(TARGET sorvex_e2e_support)
  sorvex_add_bench(NAME e2e_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_bench.cpp
                   LIBS sorvex_e2e_support)
endif()
