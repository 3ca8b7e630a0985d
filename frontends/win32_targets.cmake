# The Windows program: Win32 serial backend, native window toolkit, icon and
# version resources, the .exe, and the tests that only make sense on Windows.
# Included at the end of the top-level CMakeLists.txt, after every other
# directory, so the system's libraries exist here.
if(NOT WIN32)
  return()
endif()

set(PLUG_WIN32_DIR ${CMAKE_SOURCE_DIR}/frontends)

# The serial backend joins the platform library, as the POSIX one does elsewhere.
target_sources(platform PRIVATE ${CMAKE_SOURCE_DIR}/platform/serial_win32.cpp)

add_library(win32_toolkit STATIC ${PLUG_WIN32_DIR}/win32_toolkit.cpp)
target_link_libraries(win32_toolkit PUBLIC platform user32 gdi32)

# The icon: 32 x 32, 16 colours, drawn by tools/mkicon at build time. It is a
# Windows program here too and runs under the cross-compiling emulator.
add_executable(mkicon ${CMAKE_SOURCE_DIR}/tools/mkicon.cpp)
set(PLUG_ICON ${CMAKE_BINARY_DIR}/frontends/plug.ico)
add_custom_command(OUTPUT ${PLUG_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/frontends
  COMMAND mkicon ${PLUG_ICON}
  DEPENDS mkicon
  COMMENT "Drawing the program icon")
add_custom_target(plug_icon DEPENDS ${PLUG_ICON})

# Version and icon resources, shared by the program and the resource test.
add_library(win32_resources OBJECT ${PLUG_WIN32_DIR}/win32_resources.rc)
target_include_directories(win32_resources PRIVATE ${CMAKE_BINARY_DIR}/frontends)
set_source_files_properties(${PLUG_WIN32_DIR}/win32_resources.rc PROPERTIES OBJECT_DEPENDS ${PLUG_ICON})
add_dependencies(win32_resources plug_icon)

# The program itself, once the system (app/main.h: PlugMain) and the firmware
# image it carries are there.
if(TARGET plugsys AND TARGET firmware_image)
  add_executable(plugupdate WIN32 ${PLUG_WIN32_DIR}/win32_main.cpp $<TARGET_OBJECTS:win32_resources>)
  set_target_properties(plugupdate PROPERTIES OUTPUT_NAME QuorPlugUpdate)
  target_link_libraries(plugupdate PRIVATE plugsys win32_toolkit platform)
endif()

# The console tool on the Win32 serial backend: the same options as on Linux,
# a static console program beside the window program.
if(TARGET plugsys AND TARGET firmware_image AND TARGET console_toolkit)
  add_executable(plugupdate-console ${PLUG_WIN32_DIR}/console_main.cpp ${PLUG_WIN32_DIR}/console_platform_win32.cpp)
  target_link_libraries(plugupdate-console PRIVATE plugsys sim console_toolkit platform advapi32)
endif()

include(${CMAKE_SOURCE_DIR}/tests/win32/win32_tests.cmake)
