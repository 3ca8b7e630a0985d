# The cross build's GoogleTest: the targets were made by mingw-project.cmake.
if(NOT TARGET GTest::gtest)
  set(GTest_FOUND FALSE)
  set(GTest_NOT_FOUND_MESSAGE "GoogleTest targets missing (mingw-project.cmake not included)")
endif()
