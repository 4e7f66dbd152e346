# Test programs are Windows programs run under Wine (the toolchain's emulator); their cases are
# discovered when ctest starts, so building needs no Wine.
set(GTEST_SRC_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SRC_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# vondrel_add_gtest(<name> SOURCES <files...> LIBS <libraries...> [LABELS <labels...>] [RESOURCE_LOCK <lock>])
function(vondrel_add_gtest name)
  cmake_parse_arguments(T "" "RESOURCE_LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} vondrel_test_support GTest::gmock GTest::gtest_main vondrel_flags)
  set(_props ENVIRONMENT "VONDREL_SOURCE_DIR=${CMAKE_SOURCE_DIR};VONDREL_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND _props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       TEST_PREFIX "${name}." PROPERTIES ${_props} TIMEOUT 300)
endfunction()
