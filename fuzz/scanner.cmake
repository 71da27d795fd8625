# The scanner's decoders: serial frames (ProcessDataEvent, ProcessStatsEvent and the two serial
# decoders) and USB report sequences (ProcessUsbDataEvent and the USB decoder).
sorvex_add_fuzzer(NAME scanner_frame_fuzz SOURCES scanner_frame_fuzz.cpp LIBS talvex_scanner)
sorvex_add_fuzzer(NAME scanner_usb_report_fuzz SOURCES scanner_usb_report_fuzz.cpp
                  LIBS talvex_scanner)
