# Reading the method table (src/methods.hpp) from CMake: the snake-case names
# of its lines, and headers that include a file per method.

set(VELARIX_METHOD_TABLE ${PROJECT_SOURCE_DIR}/src/methods.hpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELARIX_METHOD_TABLE})

# The names in the table's order: the first argument of each METHOD(...) line.
function(velarix_method_names out)
  file(READ ${VELARIX_METHOD_TABLE} table)
  string(REGEX MATCHALL "\n  METHOD\\([a-z_0-9]+," lines "${table}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n  METHOD\\(([a-z_0-9]+),$" "\\1" name "${line}")
    list(APPEND names ${name})
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "no METHOD lines in ${VELARIX_METHOD_TABLE}")
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# A header including, for every name, each of `patterns` with @name@
# replaced; written only when its text changes, so builds stay incremental.
function(velarix_write_includes path names patterns)
  set(text "// Written by CMake from src/methods.hpp: do not edit.\n#pragma once\n")
  foreach(name IN LISTS names)
    foreach(pattern IN LISTS patterns)
      string(REPLACE "@name@" "${name}" header "${pattern}")
      string(APPEND text "#include \"${header}\"\n")
    endforeach()
  endforeach()
  file(GENERATE OUTPUT ${path} CONTENT "${text}")
endfunction()
