# Test layout: `name_test.cc` beside a unit holds fast tests with fakes (label "unit", also run under the
# sanitizers); `name_itest.cc` holds tests against the real components (model files, X server, sound
# server) and is labelled "integration"; PROPERTIES are further test properties of the integration
# tests (such as a fixture they need).
function(rezoro_add_tests target dir)
  cmake_parse_arguments(ARG "" "" "LIBS;PROPERTIES" ${ARGN})
  file(GLOB_RECURSE unit_sources CONFIGURE_DEPENDS "${dir}/*_test.cc")
  file(GLOB_RECURSE integration_sources CONFIGURE_DEPENDS "${dir}/*_itest.cc")
  if(unit_sources)
    add_executable(${target}_unit ${unit_sources})
    target_link_libraries(${target}_unit PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${target}_unit PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
  endif()
  if(integration_sources AND NOT REZORO_UNIT_ONLY)
    add_executable(${target}_integration ${integration_sources})
    target_link_libraries(${target}_integration PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${target}_integration PRIVATE
      REZORO_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
      REZORO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      REZORO_DEPS_DIR="${REZORO_DEPS_DIR}")
    gtest_discover_tests(${target}_integration PROPERTIES LABELS integration ${ARG_PROPERTIES}
                         DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
