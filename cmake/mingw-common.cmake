# What both Windows cross builds share; the toolchain file of each names its
# processor and the mingw-w64 triple first. The posix thread model is
# required: the win32-model compilers of GCC 12 have no std::thread. Programs
# link statically so they run on a bare Windows (and under Wine) without the
# mingw runtime DLLs; CTest runs them through Wine.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ORVA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

get_filename_component(ORVA_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVA_SOURCE_ROOT}/scripts/wine-run")
