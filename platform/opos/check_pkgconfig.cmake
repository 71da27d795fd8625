# Builds the example program as an application would, with the flags of sorvex-opos.pc, and
# runs it with --help.
set(ENV{PKG_CONFIG_PATH} "${PC_DIR}")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs sorvex-opos
                OUTPUT_VARIABLE flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know sorvex-opos in ${PC_DIR}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND "${CXX}" "${SOURCE}" ${flags} -o "${OUTPUT}" RESULT_VARIABLE rc
                ERROR_VARIABLE errors)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "compiling ${SOURCE} with ${flags} failed:\n${errors}")
endif()
execute_process(COMMAND "${OUTPUT}" --help RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Usage: pos_lane")
  message(FATAL_ERROR "${OUTPUT} --help answered ${rc}: ${out}")
endif()
