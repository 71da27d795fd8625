# The telnet / RFC 2217 parser, client side and server side. The protocol source is compiled
# into the fuzzer so that libFuzzer sees coverage inside the parser.
sorvex_add_fuzzer(NAME rfc2217_fuzz
                  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/rfc2217_fuzz.cpp
                          ${CMAKE_SOURCE_DIR}/platform/serial/rfc2217_protocol.cpp)
