# The scanner: label frame on the wire to SOData on the object's thread (trace off and at
# LogVerbosity 4), and 10,000 labels back to back. Uses the scanner's test helpers.
if(TARGET talvex_scanner_testsupport)
  sorvex_add_bench(NAME scanner_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/scanner_bench.cpp
                   LIBS talvex_scanner_testsupport)
endif()
