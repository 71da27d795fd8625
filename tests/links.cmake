# Device links across components: the arbiter, its links and real transports under threads,
# with the lock patterns of the service objects.
sorvex_add_test(NAME links_deadlock_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/links_deadlock_test.cpp
                LIBS talvex_links_testsupport LABELS threaded TIMEOUT 300)
