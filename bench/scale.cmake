# The scale: a synchronous ReadWeight against a scale on a pty that answers at once, and the
# asynchronous read loop of a POS application (read, data event, read again). Uses the scale's
# test helpers.
if(TARGET talvex_scale_testsupport)
  sorvex_add_bench(NAME scale_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/scale_bench.cpp
                   LIBS talvex_scale_testsupport)
endif()
