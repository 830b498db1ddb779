# Layers: each folder of a program is one layer and builds one static library from the .cc files
# directly in it (its subfolders are layers of their own). A layer names the layers it may use;
# those must be declared before it, so the order of the declarations is the order of the layers
# and no cycle can be written. Before anything of a layer compiles, a check reads every
# `#include "…"` line of the folder's files and fails the build on one that reaches a folder of
# this repository the layer does not use: a wrong-way include never compiles. Tests and test
# helpers (`*_test.cc`, `*_itest.cc`, `*_testing.h`, `*_test_support.h`) may also use their
# program's test support folder (`TESTING`).
#
#   rezoro_layer(TARGET DIR folder [USES folder...] [TESTING folder] [LINK library...])
#   rezoro_layer_check(NAME DIR folder [USES folder...])      a folder without a library
#
# Folders are given relative to the repository's root (capture/runtime, common, ...).
set(REZORO_LAYER_CHECK_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/check_layer.cmake")

# The check of one folder as a target: `name` runs it, its stamp is rewritten when it passes.
function(rezoro_layer_check name)
  cmake_parse_arguments(ARG "" "DIR;TESTING" "USES" ${ARGN})
  foreach(used IN LISTS ARG_USES)
    get_property(declared GLOBAL PROPERTY "REZORO_LAYER_TARGET_${used}" SET)
    if(NOT declared)
      message(FATAL_ERROR "layer ${ARG_DIR} uses ${used}, which is not a layer declared before it")
    endif()
  endforeach()
  file(GLOB checked CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${ARG_DIR}/*.h" "${CMAKE_SOURCE_DIR}/${ARG_DIR}/*.cc"
       "${CMAKE_SOURCE_DIR}/${ARG_DIR}/*.c")
  string(REPLACE ";" "," uses "${ARG_USES}")
  set(stamp "${CMAKE_BINARY_DIR}/layers/${name}.checked")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}" "-DROOT=${CMAKE_SOURCE_DIR}" "-DDIR=${ARG_DIR}" "-DUSES=${uses}"
            "-DTESTING=${ARG_TESTING}" "-DSTAMP=${stamp}" -P "${REZORO_LAYER_CHECK_SCRIPT}"
    DEPENDS ${checked} "${REZORO_LAYER_CHECK_SCRIPT}"
    COMMENT "Checking the includes of ${ARG_DIR} against its layer" VERBATIM)
  add_custom_target(${name} DEPENDS "${stamp}")
  set_property(GLOBAL PROPERTY "REZORO_LAYER_TARGET_${ARG_DIR}" "")
endfunction()

function(rezoro_layer target)
  cmake_parse_arguments(ARG "" "DIR;TESTING" "USES;LINK" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${ARG_DIR}/*.cc")
  list(FILTER sources EXCLUDE REGEX "_(i)?test\\.cc$")
  list(FILTER sources EXCLUDE REGEX "/main\\.cc$")
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  set(used_targets)
  foreach(used IN LISTS ARG_USES)
    get_property(used_target GLOBAL PROPERTY "REZORO_LAYER_TARGET_${used}")
    if(used_target)
      list(APPEND used_targets ${used_target})
    endif()
  endforeach()
  target_link_libraries(${target} PUBLIC ${used_targets} ${ARG_LINK})
  rezoro_layer_check(${target}_layer_check DIR ${ARG_DIR} USES ${ARG_USES} TESTING "${ARG_TESTING}")
  add_dependencies(${target} ${target}_layer_check)
  set_property(GLOBAL PROPERTY "REZORO_LAYER_TARGET_${ARG_DIR}" ${target})
endfunction()

# Every folder of the programs that holds code must be a declared layer, so that none escapes the
# check.
function(rezoro_require_layers)
  foreach(program IN LISTS ARGN)
    file(GLOB_RECURSE files CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${program}/*.h" "${CMAKE_SOURCE_DIR}/${program}/*.cc"
         "${CMAKE_SOURCE_DIR}/${program}/*.c")
    foreach(file IN LISTS files)
      file(RELATIVE_PATH relative "${CMAKE_SOURCE_DIR}" "${file}")
      get_filename_component(folder "${relative}" DIRECTORY)
      get_property(declared GLOBAL PROPERTY "REZORO_LAYER_TARGET_${folder}" SET)
      if(NOT declared)
        message(FATAL_ERROR "${relative} lies in ${folder}, which is not a layer: declare it with rezoro_layer")
      endif()
    endforeach()
  endforeach()
endfunction()
