# The Windows program as it ships: 32-bit (PE32, i386). See mingw-common.cmake.
set(PLUG_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PLUG_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
