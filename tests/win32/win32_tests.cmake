# Tests that only make sense on Windows (run under Wine in the cross build).
# Included from frontends/win32_targets.cmake.
find_package(GTest REQUIRED)

set(PLUG_WINE ${CMAKE_CROSSCOMPILING_EMULATOR})
if(NOT PLUG_WINE)
  set(PLUG_WINE "")
endif()

# The Win32 serial backend against a pair of linked pseudo-terminals that
# Wine shows as COM1 and COM2.
add_executable(win32_serial_tests ${CMAKE_CURRENT_LIST_DIR}/serial_win32_test.cpp)
target_link_libraries(win32_serial_tests PRIVATE platform GTest::gtest_main)
add_test(NAME win32_serial_tests
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_ptys.sh ${CMAKE_BINARY_DIR}/ports
          ${PLUG_WINE} $<TARGET_FILE:win32_serial_tests>)
set_tests_properties(win32_serial_tests PROPERTIES RESOURCE_LOCK plug_com_ports TIMEOUT 120)
