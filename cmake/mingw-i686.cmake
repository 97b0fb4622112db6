# Cross build for 32-bit Windows with mingw-w64: the program technicians get.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
