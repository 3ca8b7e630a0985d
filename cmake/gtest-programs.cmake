# How a GoogleTest program's cases become CTest tests:
#
#   plug_gtest(<target> [SHARDS <n>] [TIMEOUT <seconds>])
#
# In a native build every case is a CTest test of its own, so that the cases,
# many of which wait on the simulated plug in real time, run side by side.
# In a cross build each start of a program costs a Wine start (about a
# second, and now and then a start that fails on its own), so the program runs
# whole: in <n> parts (GoogleTest's shards: case i goes to part i mod n) that
# CTest runs side by side. Each part writes its cases' results to
# <build>/gtest/<test>.xml, from which the Windows suite counts them one by one
# (.ci/lib.sh, ctest_tally). TIMEOUT is per case natively; a part in a cross
# build has 300 s.
#
#   plug_gtest_xml(<var> <test>)
#       sets <var> to the option that makes a program started under Wine
#       write its results where the Windows suite counts them, for tests that
#       start a GoogleTest program through a script of their own.
set(PLUG_GTEST_XML_DIR ${CMAKE_BINARY_DIR}/gtest)
if(CMAKE_CROSSCOMPILING)
  file(MAKE_DIRECTORY ${PLUG_GTEST_XML_DIR})
endif()

# Wine shows the build machine's root as drive Z:.
function(plug_gtest_xml var test)
  set(${var} --gtest_output=xml:Z:${PLUG_GTEST_XML_DIR}/${test}.xml PARENT_SCOPE)
endfunction()

function(plug_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SHARDS;TIMEOUT" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "plug_gtest: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SHARDS)
    set(arg_SHARDS 1)
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 60)
  endif()
  # The test sources of a program compile as one: each would otherwise parse
  # GoogleTest's headers (a second or more) and instantiate its templates on
  # its own, in every build of the tree.
  # Four sources at most to one, so that a large program still keeps both
  # cores busy.
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${arg_TIMEOUT})
    return()
  endif()
  math(EXPR last "${arg_SHARDS} - 1")
  foreach(i RANGE ${last})
    set(name ${target})
    if(arg_SHARDS GREATER 1)
      set(name ${target}.part${i})
    endif()
    plug_gtest_xml(xml ${name})
    add_test(NAME ${name} COMMAND ${target} ${xml})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300
      ENVIRONMENT "GTEST_TOTAL_SHARDS=${arg_SHARDS};GTEST_SHARD_INDEX=${i}")
  endforeach()
endfunction()
