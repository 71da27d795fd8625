# The scanner end to end: the scanner object through the real port arbiter and links, with the
# device simulator (sorvex-sim, a second process) playing the scanners of every interface kind.
sorvex_add_test(NAME scanner_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scanner_serial_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/scanner_usb_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/scanner_statistics_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/scanner_handler_test.cpp
  LIBS talvex_scanner_testsupport
  LABELS threaded
  TIMEOUT 180)
add_dependencies(scanner_e2e_test sorvex-sim)
