# Included right after project() in the cross build. Builds GoogleTest and
# GoogleMock from Debian's sources for Windows and makes find_package(GTest)
# find them as the usual GTest:: targets.
if(NOT TARGET GTest::gtest)
  set(PLUG_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources for the cross build")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Third-party code: built without the project's warning flags.
  add_subdirectory(${PLUG_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
  set(GTest_DIR "${CMAKE_CURRENT_LIST_DIR}/gtest-config" CACHE PATH "" FORCE)
  set(GTest_ROOT "${CMAKE_CURRENT_LIST_DIR}/gtest-config")
endif()

# The Windows program needs the resource compiler for its icon and version
# resources; its targets are added at the end of the top-level CMakeLists.txt.
enable_language(RC)
