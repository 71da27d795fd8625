# Device links: frame latency over a pty and over RFC 2217 on loopback, router throughput, and
# the CPU an idle open port costs.
sorvex_add_bench(NAME links_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/links_bench.cpp
                 LIBS talvex_links_testsupport)
