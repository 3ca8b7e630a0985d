# The 64-bit twin of the Windows build (PE32+, x86-64): the same sources and
# tests, for machines that cannot run 32-bit programs and for the faults a
# 32-bit build hides (pointer sizes). See mingw-common.cmake.
set(PLUG_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PLUG_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
