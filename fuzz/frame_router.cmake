# The frame router fed arbitrary byte chunks with a few subscriptions.
sorvex_add_fuzzer(NAME frame_router_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_router_fuzz.cpp
                  LIBS talvex_links)
