# What every Windows program of the build carries:
#
#   - the application manifest (frontends/win32_manifest.rc): the program runs
#     as the user who starts it, never elevated, and names the Windows versions
#     it was made for, and that it scales its windows to each monitor's dpi
#     itself (per-monitor DPI aware); nothing else (classic controls);
#   - address-space layout randomisation and no-execute data, asked for
#     explicitly (and high-entropy randomisation on 64 bits).
#
#   plug_windows_program(<target>)
#       gives <target> all of that; calling it twice does no harm. Every
#       executable target of a Windows build gets it anyway at the end of the
#       top-level CMakeLists.txt, so a new program needs nothing here.
#
# <build>/windows-programs.txt lists every such program, one a line, relative
# to the build folder: the resource test reads the manifest back from each, the
# CI checks each one's headers.
if(NOT WIN32)
  function(plug_windows_program target)
  endfunction()
  function(plug_windows_programs_done)
  endfunction()
  return()
endif()

add_library(win32_manifest OBJECT ${CMAKE_SOURCE_DIR}/frontends/win32_manifest.rc)
target_include_directories(win32_manifest PRIVATE ${CMAKE_SOURCE_DIR}/frontends)
set_source_files_properties(${CMAKE_SOURCE_DIR}/frontends/win32_manifest.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/frontends/win32_program.manifest)

function(plug_windows_program target)
  get_target_property(done ${target} PLUG_WINDOWS_PROGRAM)
  if(done)
    return()
  endif()
  set_target_properties(${target} PROPERTIES PLUG_WINDOWS_PROGRAM ON)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:win32_manifest>)
  target_link_options(${target} PRIVATE LINKER:--dynamicbase LINKER:--nxcompat)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(${target} PRIVATE LINKER:--high-entropy-va)
  endif()
  set_property(GLOBAL APPEND PROPERTY PLUG_WINDOWS_PROGRAMS ${target})
endfunction()

function(plug_collect_executables dir out)
  set(found "")
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    plug_collect_executables(${sub} more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Called once, after every folder is read.
function(plug_windows_programs_done)
  plug_collect_executables(${CMAKE_SOURCE_DIR} programs)
  foreach(t IN LISTS programs)
    plug_windows_program(${t})
  endforeach()
  get_property(programs GLOBAL PROPERTY PLUG_WINDOWS_PROGRAMS)
  set(lines "")
  foreach(t IN LISTS programs)
    get_target_property(dir ${t} RUNTIME_OUTPUT_DIRECTORY)
    if(NOT dir)
      get_target_property(dir ${t} BINARY_DIR)
    endif()
    file(RELATIVE_PATH rel ${CMAKE_BINARY_DIR} ${dir})
    if(rel STREQUAL "")
      set(rel ".")
    endif()
    string(APPEND lines "${rel}/$<TARGET_FILE_NAME:${t}>\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-programs.txt CONTENT "${lines}")
endfunction()
