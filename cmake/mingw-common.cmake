# Cross build of the Windows programs with mingw-w64, shared by the 32-bit
# (mingw-i686.cmake) and the 64-bit (mingw-x86_64.cmake) toolchain files,
# which set PLUG_MINGW_PREFIX, CMAKE_SYSTEM_PROCESSOR and PLUG_WINE_ARCH first.
# POSIX threads (so that std::thread works), everything linked statically so an
# .exe runs on a bare Windows. The programs built here run under Wine, as
# tests only: the build-time tools are native (cmake/host-tools.cmake).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PLUG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLUG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PLUG_MINGW_PREFIX}-windres)
set(CMAKE_AR ${PLUG_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${PLUG_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PLUG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12 reports false -Wrestrict overlaps inside std::string at -O3 (seen on
# the cross compiler only); the warning stays on in the native builds.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
# The PE header's time stamp is left 0: the same sources give the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")

# Tests run under Wine with the loader of this word size, started directly
# (never through a wrapper that may pick a loader this machine cannot run), in
# the build's own prefix unless WINEPREFIX is set.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${PLUG_WINE_ARCH}" CACHE STRING "")
endif()

# GoogleTest is built from Debian's sources for this target (the native
# builds use the installed package); see mingw-project.cmake.
set(CMAKE_PROJECT_QuorPlugUpdate_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/mingw-project.cmake" CACHE FILEPATH "")
