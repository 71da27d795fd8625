# Synchronisation and message hand-off latencies (platform/sync, platform/window).
sorvex_add_bench(NAME sync_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/sync_bench.cpp
                 LIBS sorvex_platform)
sorvex_add_bench(NAME window_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_bench.cpp
                 LIBS sorvex_platform)
