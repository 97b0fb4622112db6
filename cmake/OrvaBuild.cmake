# Compiler settings shared by every target of the project.

if(WIN32)
  set(ORVA_PLATFORM win32)
else()
  set(ORVA_PLATFORM posix)
endif()

# Our own code builds warning-free; third-party code (GoogleTest) does not get these.
function(orva_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(ORVA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ORVA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ORVA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORVA_SANITIZE must be empty, 'address' or 'thread', not '${ORVA_SANITIZE}'")
endif()

if(ORVA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ORVA_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++-14")
endif()

find_package(Threads REQUIRED)
