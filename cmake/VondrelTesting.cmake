# Test programs are Windows programs run under Wine (the toolchain's emulator); their cases are
# discovered when ctest starts, so building needs no Wine.
set(GTEST_SRC_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SRC_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# The lock of every test that reads or changes the prefix's data folder C:\ProgramData\Norvane\Vondrel
# (the log, the upload folder) or binds port 443.
set(VONDREL_DATA_LOCK vondrel_data)
set(VONDREL_PORT443_LOCK port443)
set(VONDREL_PYTHON /usr/bin/python3 CACHE FILEPATH "Debian's python3, with its sqlite3 module and pytest")

# vondrel_add_gtest(<name> SOURCES <files...> LIBS <libraries...> [LABELS <labels...>]
#                   [RESOURCE_LOCK <locks...>] [FIXTURES <ctest fixtures...>])
function(vondrel_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;FIXTURES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} vondrel_test_support GTest::gmock GTest::gtest_main vondrel_flags)
  # One variable only: gtest_discover_tests splits list values of PROPERTIES. The test programs know
  # the source and build folders from tests/support.
  set(_props ENVIRONMENT "VONDREL_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND _props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_FIXTURES)
    list(APPEND _props FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       TEST_PREFIX "${name}." PROPERTIES ${_props} TIMEOUT 300)
endfunction()

# vondrel_add_fixture(<fixture> COMMAND <command...>): a Linux-side set-up step (for example a python3
# script writing catalogues with its sqlite3 module) that runs before the tests requiring <fixture>.
# Fixture folders live under ${CMAKE_BINARY_DIR}/fixtures; tests find them with test::FixtureDir.
# Python steps import the tests' shared modules (tests/) as the pytest modules do.
function(vondrel_add_fixture fixture)
  cmake_parse_arguments(F "" "" "COMMAND" ${ARGN})
  add_test(NAME fixture.${fixture} COMMAND ${F_COMMAND})
  set_tests_properties(fixture.${fixture} PROPERTIES FIXTURES_SETUP ${fixture}
    ENVIRONMENT "VONDREL_SOURCE_DIR=${CMAKE_SOURCE_DIR};VONDREL_BINARY_DIR=${CMAKE_BINARY_DIR};PYTHONPATH=${CMAKE_SOURCE_DIR}/tests")
endfunction()

# Whether a test may have a loopback network of its own (unshare -n; root in a sandbox that allows it).
# Where it may not, the suites that bind the back end's port take turns through the port443 lock.
execute_process(COMMAND unshare -n -- ip link set lo up RESULT_VARIABLE _own_network_probe
                OUTPUT_QUIET ERROR_QUIET)
if(_own_network_probe EQUAL 0)
  set(VONDREL_OWN_NETWORK 1)
else()
  set(VONDREL_OWN_NETWORK 0)
endif()

# vondrel_add_pytest(<name> FILE <test file> [OWN_PREFIX] [RESOURCE_LOCK <locks...>] [FIXTURES <fixtures...>]
#                    [TIMEOUT <s>] [COST <n>])
# A pytest module run by Debian's python3; it drives Windows programs under Wine and real Linux peers.
# OWN_PREFIX: the module runs in a Wine prefix of its own and, where possible, a loopback network of
# its own (tests/support/own_prefix), so it needs neither the data folder's nor the port's lock.
# COST: a larger number starts the test earlier, so that long suites do not end the run alone.
function(vondrel_add_pytest name)
  cmake_parse_arguments(P "OWN_PREFIX" "FILE;TIMEOUT;COST" "RESOURCE_LOCK;FIXTURES;DEPENDS" ${ARGN})
  if(NOT P_TIMEOUT)
    set(P_TIMEOUT 900)
  endif()
  set(_command ${VONDREL_PYTHON} -m pytest -q -p no:cacheprovider ${P_FILE})
  set(_locks ${P_RESOURCE_LOCK})
  if(P_OWN_PREFIX)
    string(REPLACE "." "-" _prefix_name "${name}")
    set(_command ${CMAKE_SOURCE_DIR}/tests/support/own_prefix ${_prefix_name} ${_command})
    list(REMOVE_ITEM _locks ${VONDREL_DATA_LOCK})
    if(VONDREL_OWN_NETWORK)
      list(REMOVE_ITEM _locks ${VONDREL_PORT443_LOCK})
    endif()
  endif()
  add_test(NAME ${name} COMMAND ${_command} WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  # One call per property: a value that is itself a list (the environment, several locks) must stay
  # one argument.
  set_tests_properties(${name} PROPERTIES TIMEOUT ${P_TIMEOUT} ENVIRONMENT
    "VONDREL_SOURCE_DIR=${CMAKE_SOURCE_DIR};VONDREL_BINARY_DIR=${CMAKE_BINARY_DIR};PYTHONPATH=${CMAKE_SOURCE_DIR}/tests;VONDREL_OWN_NETWORK=${VONDREL_OWN_NETWORK}")
  if(_locks)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${_locks}")
  endif()
  if(P_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${P_FIXTURES}")
  endif()
  if(P_COST)
    set_tests_properties(${name} PROPERTIES COST ${P_COST})
  endif()
endfunction()
