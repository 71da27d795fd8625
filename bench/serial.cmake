# Serial ports: delivery latency over a pty and over RFC 2217 on loopback, parser throughput.
sorvex_add_bench(NAME serial_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/serial_bench.cpp
                 LIBS sorvex_platform util)
