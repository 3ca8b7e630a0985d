# Tests that only make sense on Windows (run under Wine in the cross build).
# Included from tests/CMakeLists.txt.
set(PLUG_WINE ${CMAKE_CROSSCOMPILING_EMULATOR})
if(NOT PLUG_WINE)
  set(PLUG_WINE "")
endif()

# The Win32 serial backend against a pair of linked pseudo-terminals that
# Wine shows as COM1 and COM2.
add_executable(win32_serial_tests ${CMAKE_CURRENT_LIST_DIR}/serial_win32_test.cpp)
target_link_libraries(win32_serial_tests PRIVATE platform GTest::gtest_main)
plug_gtest_xml(xml win32_serial_tests)
add_test(NAME win32_serial_tests
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_ptys.sh ${CMAKE_BINARY_DIR}/ports
          ${PLUG_WINE} $<TARGET_FILE:win32_serial_tests> ${xml})
set_tests_properties(win32_serial_tests PROPERTIES RESOURCE_LOCK plug_com_ports TIMEOUT 120)

# The native window of the main window's layout; needs a display (Xvfb).
add_executable(win32_toolkit_tests ${CMAKE_CURRENT_LIST_DIR}/toolkit_win32_test.cpp)
target_link_libraries(win32_toolkit_tests PRIVATE win32_toolkit GTest::gtest_main)
plug_gtest_xml(xml win32_toolkit_tests)
add_test(NAME win32_toolkit_tests
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_display.sh ${PLUG_WINE} $<TARGET_FILE:win32_toolkit_tests> ${xml})
set_tests_properties(win32_toolkit_tests PROPERTIES TIMEOUT 120)
# Its texts on a Cyrillic system code page (Wine takes the code page from LANG).
plug_gtest_xml(xml win32_toolkit_tests_cp1251)
add_test(NAME win32_toolkit_tests_cp1251
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_display.sh ${PLUG_WINE} $<TARGET_FILE:win32_toolkit_tests>
          --gtest_filter=*CodePage* ${xml})
set_tests_properties(win32_toolkit_tests_cp1251 PROPERTIES TIMEOUT 120
  ENVIRONMENT "LANG=ru_RU.UTF-8;LC_ALL=ru_RU.UTF-8;PLUG_EXPECT_ACP=1251")

# The same layout with a larger caption and frame, in a prefix of its own.
plug_gtest_xml(xml win32_toolkit_tests_large_frame)
add_test(NAME win32_toolkit_tests_large_frame
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_large_frame.sh ${CMAKE_BINARY_DIR}/wineprefix-large-frame
          ${PLUG_WINE} $<TARGET_FILE:win32_toolkit_tests> --gtest_filter=*MainWindowLayout* ${xml})
set_tests_properties(win32_toolkit_tests_large_frame PROPERTIES TIMEOUT 240 ENVIRONMENT "PLUG_LARGE_FRAME=1")
# The layout at 150 % (144 dpi), in a prefix of its own.
add_test(NAME win32_toolkit_tests_dpi144
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_dpi.sh ${CMAKE_BINARY_DIR}/wineprefix-dpi144 144
          ${PLUG_WINE} $<TARGET_FILE:win32_toolkit_tests> --gtest_filter=*Layout*)
set_tests_properties(win32_toolkit_tests_dpi144 PROPERTIES TIMEOUT 240 ENVIRONMENT "PLUG_EXPECT_DPI=144")

# The end of the session for the window program, for the end-to-end run
# under Wine (tests/e2e/wine_e2e.sh); beside the program.
add_executable(end_session ${CMAKE_SOURCE_DIR}/tests/e2e/end_session.cpp)
set_target_properties(end_session PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# A window with the main window's layout and some content, for looking at.
add_executable(win32_demo WIN32 ${CMAKE_CURRENT_LIST_DIR}/demo_main.cpp $<TARGET_OBJECTS:win32_resources>)
target_link_libraries(win32_demo PRIVATE win32_toolkit)

# Version and icon resources as Windows reads them from the file: the test's
# own .exe links the resource object, the program is checked too, and the
# console program's version record. The
# manifest is read back from every Windows program of the build
# (windows-programs.txt, paths relative to the build folder).
add_executable(win32_resource_tests ${CMAKE_CURRENT_LIST_DIR}/resources_win32_test.cpp
               $<TARGET_OBJECTS:win32_resources>)
target_link_libraries(win32_resource_tests PRIVATE GTest::gtest version)
add_dependencies(win32_resource_tests plugupdate plugupdate-console)
plug_gtest_xml(xml win32_resource_tests)
add_test(NAME win32_resource_tests
         COMMAND win32_resource_tests $<TARGET_FILE_NAME:plugupdate> windows-programs.txt
                 $<TARGET_FILE_NAME:plugupdate-console> ${xml}
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(win32_resource_tests PROPERTIES TIMEOUT 60)
