# The parsers of the object layer that read bytes from library files: the serialized type
# library, and the ELF note walker with the version information it finds. Built from their
# sources so that the whole parsers are instrumented.
set(com_dir ${CMAKE_CURRENT_LIST_DIR}/../platform/com)
sorvex_add_fuzzer(NAME typelib_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/typelib_fuzz.cpp
          ${com_dir}/typelib_format.cpp
          ${com_dir}/typeinfo.cpp
          ${com_dir}/elf_note.cpp
          ${com_dir}/error_detail.cpp
          ${com_dir}/guid.cpp
  LIBS)
sorvex_add_fuzzer(NAME elf_note_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/elf_note_fuzz.cpp
          ${com_dir}/elf_note.cpp
          ${com_dir}/version_info.cpp
          ${com_dir}/typelib_format.cpp
          ${com_dir}/guid.cpp
  LIBS)
