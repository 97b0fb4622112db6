# Cross build for 64-bit Windows with mingw-w64: the same sources, and the
# build whose tests 64-bit Wine runs on kernels without 32-bit support.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVA_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
