# The build-time tools of tools/host, for this build:
#
#   plug_host_tool(<name> <var>)
#       sets <var> to the command that runs the tool and <var>_DEPENDS to what
#       a custom command running it depends on.
#
# A native build builds them as part of itself. A cross build builds them with
# the build machine's own compiler, as a separate project in <build>/host, the
# first time anything needs them, or takes them from PLUG_PREBUILT_HOST_TOOLS; the
# cross compiler's programs only ever run as tests.
if(NOT CMAKE_CROSSCOMPILING)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tools/host ${CMAKE_BINARY_DIR}/tools/host)

  function(plug_host_tool name var)
    set(${var} $<TARGET_FILE:${name}> PARENT_SCOPE)
    set(${var}_DEPENDS ${name} PARENT_SCOPE)
  endfunction()
elseif(PLUG_PREBUILT_HOST_TOOLS)
  # Tools a native build of this tree has made already (PLUG_PREBUILT_HOST_TOOLS,
  # e.g. build/default/tools/host): the CI's cross builds take them from its
  # normal build instead of building them again.
  foreach(tool hexgen hex2image mkicon)
    if(NOT EXISTS ${PLUG_PREBUILT_HOST_TOOLS}/${tool})
      message(FATAL_ERROR "PLUG_PREBUILT_HOST_TOOLS=${PLUG_PREBUILT_HOST_TOOLS} has no ${tool}")
    endif()
  endforeach()
  function(plug_host_tool name var)
    set(${var} ${PLUG_PREBUILT_HOST_TOOLS}/${name} PARENT_SCOPE)
    set(${var}_DEPENDS ${PLUG_PREBUILT_HOST_TOOLS}/${name} PARENT_SCOPE)
  endfunction()
else()
  include(ExternalProject)
  set(PLUG_HOST_TOOLS_DIR ${CMAKE_BINARY_DIR}/host)
  # No toolchain file is handed on: the project finds the build machine's
  # own compiler.
  ExternalProject_Add(host_tools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools/host
    BINARY_DIR ${PLUG_HOST_TOOLS_DIR}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DPLUG_WERROR=${PLUG_WERROR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${PLUG_HOST_TOOLS_DIR}/hexgen ${PLUG_HOST_TOOLS_DIR}/hex2image ${PLUG_HOST_TOOLS_DIR}/mkicon
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_OUTPUT_ON_FAILURE ON)

  function(plug_host_tool name var)
    set(${var} ${PLUG_HOST_TOOLS_DIR}/${name} PARENT_SCOPE)
    set(${var}_DEPENDS host_tools ${PLUG_HOST_TOOLS_DIR}/${name} PARENT_SCOPE)
  endfunction()
endif()
