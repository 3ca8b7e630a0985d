# The Windows program: native window toolkit, icon and version resources, the
# .exe. Included from frontends/CMakeLists.txt in a Windows build. Every
# executable here gets the manifest and the loader flags of
# cmake/windows-program.cmake without asking.
set(PLUG_WIN32_DIR ${CMAKE_SOURCE_DIR}/frontends)

add_library(win32_toolkit STATIC ${PLUG_WIN32_DIR}/win32_toolkit.cpp)
target_link_libraries(win32_toolkit PUBLIC platform user32 gdi32)

# The icon: 32 x 32, 16 colours, drawn at build time by the host tool mkicon.
plug_host_tool(mkicon mkicon)
set(PLUG_ICON ${CMAKE_BINARY_DIR}/frontends/plug.ico)
add_custom_command(OUTPUT ${PLUG_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/frontends
  COMMAND ${mkicon} ${PLUG_ICON}
  DEPENDS ${mkicon_DEPENDS}
  COMMENT "Drawing the program icon")
add_custom_target(plug_icon DEPENDS ${PLUG_ICON})

# The project's version for the version records.
configure_file(${PLUG_WIN32_DIR}/win32_version.h.in ${CMAKE_BINARY_DIR}/frontends/win32_version.h @ONLY)

# Version and icon resources, shared by the program and the resource test.
add_library(win32_resources OBJECT ${PLUG_WIN32_DIR}/win32_resources.rc)
target_include_directories(win32_resources PRIVATE ${CMAKE_BINARY_DIR}/frontends)
set_source_files_properties(${PLUG_WIN32_DIR}/win32_resources.rc PROPERTIES OBJECT_DEPENDS ${PLUG_ICON})
add_dependencies(win32_resources plug_icon)

# The program itself: QuorPlugUpdate.exe, in the build folder's top.
add_executable(plugupdate WIN32 ${PLUG_WIN32_DIR}/win32_main.cpp $<TARGET_OBJECTS:win32_resources>)
set_target_properties(plugupdate PROPERTIES OUTPUT_NAME QuorPlugUpdate
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(plugupdate PRIVATE plugsys win32_toolkit platform)

# The console tool on the Win32 serial backend: the same options as on Linux,
# a static console program beside the window program.
add_executable(plugupdate-console ${PLUG_WIN32_DIR}/console_main.cpp ${PLUG_WIN32_DIR}/console_platform_win32.cpp
               ${PLUG_WIN32_DIR}/win32_console.rc)
target_include_directories(plugupdate-console PRIVATE ${CMAKE_BINARY_DIR}/frontends)
set_target_properties(plugupdate-console PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(plugupdate-console PRIVATE plugsys sim console_toolkit platform advapi32)
target_compile_definitions(plugupdate-console PRIVATE PLUG_VERSION="${PROJECT_VERSION}")
