# The language level and the warnings every part of the tree is built with;
# included by the top-level project and by the host tools' own project.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

option(PLUG_WERROR "Treat warnings as errors" ON)
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(PLUG_WERROR)
  add_compile_options(-Werror)
endif()
