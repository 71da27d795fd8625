sorvex_add_fuzzer(NAME statistics_fuzz SOURCES statistics_fuzz.cpp LIBS talvex_frame)
