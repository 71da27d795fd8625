# SORVEX_SANITIZE=address: AddressSanitizer + UndefinedBehaviorSanitizer.
# SORVEX_SANITIZE=thread:  ThreadSanitizer.
if(SORVEX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(SORVEX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT SORVEX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "SORVEX_SANITIZE must be empty, 'address' or 'thread'")
endif()
