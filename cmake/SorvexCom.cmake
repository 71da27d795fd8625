# Building in-process servers of the object layer (platform/com; docs/com-layer.md).
#
# sorvex_com_server(<target>)
#   Makes a SHARED library target an in-process server: hidden visibility, and a version script
#   that exports exactly DllGetClassObject, DllCanUnloadNow, DllRegisterServer and
#   DllUnregisterServer (also hiding what static libraries linked into it define). With g++,
#   -fno-gnu-unique keeps inline statics from making the library impossible to unload.
#
# sorvex_add_typelib(TARGET <target> SOURCE <file.typelib> [HEADER <name.h>]
#                    [INCLUDE_TARGETS <targets...>])
#   Compiles the type library source with sorvex-notegen into a source file that stores it in
#   <target> as the note ".note.sorvex.typelib", and a header (default <stem>_typelib.h) with
#   the interface classes, LIBID_/IID_/CLSID_ constants and dispatch tables. <target> must be
#   the shared library (or executable) itself: a note in a static library would be dropped by
#   the linker. INCLUDE_TARGETS also get the header's folder and wait for the header; the
#   folder is also <target>'s property SORVEX_TYPELIB_INCLUDE_DIR, and the custom target
#   <target>_typelib makes the header.
#
# sorvex_add_version_info(TARGET <target> [FILE_VERSION A.B.C.D] [PRODUCT_VERSION A.B.C.D]
#                         [LANGUAGE <n>] [CODE_PAGE <n>] STRINGS "Key=Value"...)
#   Stores version information in <target> as the note ".note.sorvex.version" (language 0x0409
#   and code page 1200 unless given; strings in the order given; a value may not hold ';').

set(SORVEX_COM_SERVER_MAP "${CMAKE_CURRENT_LIST_DIR}/com-server.map")

function(sorvex_com_server target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${SORVEX_COM_SERVER_MAP}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${SORVEX_COM_SERVER_MAP}")
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

function(sorvex_add_typelib)
  cmake_parse_arguments(A "" "TARGET;SOURCE;HEADER" "INCLUDE_TARGETS" ${ARGN})
  if(NOT A_TARGET OR NOT A_SOURCE)
    message(FATAL_ERROR "sorvex_add_typelib needs TARGET and SOURCE")
  endif()
  get_filename_component(source "${A_SOURCE}" ABSOLUTE)
  get_filename_component(stem "${A_SOURCE}" NAME_WE)
  if(NOT A_HEADER)
    set(A_HEADER "${stem}_typelib.h")
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/sorvex_typelib/${A_TARGET}")
  set(note "${dir}/${stem}_typelib_note.cpp")
  set(header "${dir}/${A_HEADER}")
  set(stamp "${dir}/${stem}_typelib.stamp")
  add_custom_command(
    OUTPUT "${note}" "${header}" "${stamp}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND sorvex-notegen typelib "${source}" --note "${note}" --header "${header}"
    COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
    DEPENDS "${source}" sorvex-notegen
    COMMENT "Compiling type library ${A_SOURCE}"
    VERBATIM)
  target_sources(${A_TARGET} PRIVATE "${note}" "${header}")
  target_include_directories(${A_TARGET} PRIVATE "${dir}")
  add_custom_target(${A_TARGET}_typelib DEPENDS "${note}" "${header}")
  set_property(TARGET ${A_TARGET} PROPERTY SORVEX_TYPELIB_INCLUDE_DIR "${dir}")
  foreach(t IN LISTS A_INCLUDE_TARGETS)
    target_include_directories(${t} PRIVATE "${dir}")
    add_dependencies(${t} ${A_TARGET}_typelib)
  endforeach()
endfunction()

function(sorvex_add_version_info)
  cmake_parse_arguments(A "" "TARGET;FILE_VERSION;PRODUCT_VERSION;LANGUAGE;CODE_PAGE" "STRINGS"
                        ${ARGN})
  if(NOT A_TARGET)
    message(FATAL_ERROR "sorvex_add_version_info needs TARGET")
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/sorvex_version/${A_TARGET}")
  set(out "${dir}/version_note.cpp")
  set(args)
  foreach(option FILE_VERSION PRODUCT_VERSION LANGUAGE CODE_PAGE)
    if(DEFINED A_${option})
      string(TOLOWER "${option}" flag)
      string(REPLACE "_" "-" flag "${flag}")
      list(APPEND args "--${flag}" "${A_${option}}")
    endif()
  endforeach()
  foreach(entry IN LISTS A_STRINGS)
    list(APPEND args --string "${entry}")
  endforeach()
  add_custom_command(
    OUTPUT "${out}" "${dir}/version_note.stamp"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND sorvex-notegen version --out "${out}" ${args}
    COMMAND ${CMAKE_COMMAND} -E touch "${dir}/version_note.stamp"
    DEPENDS sorvex-notegen
    COMMENT "Writing the version information of ${A_TARGET}"
    VERBATIM)
  target_sources(${A_TARGET} PRIVATE "${out}")
endfunction()
