# The project's static libraries. With the tests on, each also gets a twin "<name>_tp" compiled with
# VONDREL_TEST_POINTS, from which the test build of the program is linked (see base/TestPoints.h);
# the product program never links a twin.
set(VONDREL_LIBRARIES vondrel_base vondrel_packaging vondrel_store vondrel_restore vondrel_upload vondrel_driver)

# vondrel_library(<name> SOURCES <files...> LIBS <libraries...> [TEST_POINT_SOURCES <files...>])
function(vondrel_library name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS;TEST_POINT_SOURCES" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_link_libraries(${name} PUBLIC vondrel_flags ${L_LIBS})
  if(NOT VONDREL_TESTS)
    return()
  endif()
  set(_twin_libs "")
  foreach(_lib IN LISTS L_LIBS)
    if(_lib IN_LIST VONDREL_LIBRARIES)
      list(APPEND _twin_libs ${_lib}_tp)
    else()
      list(APPEND _twin_libs ${_lib})
    endif()
  endforeach()
  add_library(${name}_tp STATIC ${L_SOURCES} ${L_TEST_POINT_SOURCES})
  target_link_libraries(${name}_tp PUBLIC vondrel_flags ${_twin_libs})
  target_compile_definitions(${name}_tp PUBLIC VONDREL_TEST_POINTS)
endfunction()

# vondrel_folder_library(<name> [EXCLUDE <files...>] LIBS <libraries...> [TEST_POINT_SOURCES <files...>]):
# a library of every .cpp of the current folder; the test-point sources go into the twin only.
function(vondrel_folder_library name)
  cmake_parse_arguments(L "" "" "EXCLUDE;LIBS;TEST_POINT_SOURCES" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(_ex IN LISTS L_EXCLUDE L_TEST_POINT_SOURCES)
    list(REMOVE_ITEM _sources ${CMAKE_CURRENT_SOURCE_DIR}/${_ex})
  endforeach()
  vondrel_library(${name} SOURCES ${_sources} LIBS ${L_LIBS} TEST_POINT_SOURCES ${L_TEST_POINT_SOURCES})
endfunction()
