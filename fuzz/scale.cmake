# The scale's replies: serial frames through ProcessDataEvent and ProcessScaleData, USB reports
# through ProcessUsbDataEvent.
sorvex_add_fuzzer(NAME scale_serial_fuzz SOURCES scale_serial_fuzz.cpp LIBS talvex_scale)
sorvex_add_fuzzer(NAME scale_usb_fuzz SOURCES scale_usb_fuzz.cpp LIBS talvex_scale)
