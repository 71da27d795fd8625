# Registry: a value read the way a service object reads it, and a write.
sorvex_add_bench(NAME registry_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/registry_bench.cpp
  LIBS sorvex_platform)
