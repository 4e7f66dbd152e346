# Third-party libraries, cross-built once by scripts/deps into build/deps and imported here.
set(VONDREL_DEPS_DIR "${CMAKE_SOURCE_DIR}/build/deps" CACHE PATH "Where scripts/deps built minizip and SQLite")
if(NOT EXISTS "${VONDREL_DEPS_DIR}/lib/libsqlite3.a" OR NOT EXISTS "${VONDREL_DEPS_DIR}/lib/libminizip.a")
  message(FATAL_ERROR "Dependencies missing in ${VONDREL_DEPS_DIR}: run scripts/deps (scripts/build does).")
endif()

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

add_library(vondrel_sqlite STATIC IMPORTED GLOBAL)
set_target_properties(vondrel_sqlite PROPERTIES
  IMPORTED_LOCATION "${VONDREL_DEPS_DIR}/lib/libsqlite3.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VONDREL_DEPS_DIR}/include")

add_library(vondrel_minizip STATIC IMPORTED GLOBAL)
set_target_properties(vondrel_minizip PROPERTIES
  IMPORTED_LOCATION "${VONDREL_DEPS_DIR}/lib/libminizip.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VONDREL_DEPS_DIR}/include/minizip"
  INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
