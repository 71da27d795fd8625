# The .reg parser, fed arbitrary bytes. Built from its sources (no SQLite, no state) so that the
# whole parser is instrumented.
sorvex_add_fuzzer(NAME reg_file_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/reg_file_fuzz.cpp
          ${CMAKE_SOURCE_DIR}/platform/registry/reg_file.cpp
          ${CMAKE_SOURCE_DIR}/platform/registry/hive_names.cpp
  LIBS)
