# What belongs to the back end and the management agent: set per build, never invented.
set(VONDREL_CONFIG "Test" CACHE STRING "Test: the local test back end and test PKI; Release: values must be given")
set_property(CACHE VONDREL_CONFIG PROPERTY STRINGS Test Release)

set(VONDREL_ENDPOINT_URL "" CACHE STRING "Upload endpoint URL (https://host[:port]/path)")
set(VONDREL_UPLOAD_USER "" CACHE STRING "Upload user name")
set(VONDREL_UPLOAD_PASSWORD "" CACHE STRING "Upload password")
set(VONDREL_TRUSTED_THUMBPRINTS "" CACHE STRING "SHA-1 thumbprints (hex, ';'-separated) of the agent's code-signing certificates")

# scripts/release hands the four values over in the environment, so that they never reach the cache,
# and has the headers that hold them generated into a private folder outside the build folder.
foreach(_var VONDREL_ENDPOINT_URL VONDREL_UPLOAD_USER VONDREL_UPLOAD_PASSWORD VONDREL_TRUSTED_THUMBPRINTS)
  if("${${_var}}" STREQUAL "" AND DEFINED ENV{${_var}})
    set(${_var} "$ENV{${_var}}")
  endif()
endforeach()
if(DEFINED ENV{VONDREL_SETTINGS_DIR})
  set(VONDREL_SETTINGS_DIR "$ENV{VONDREL_SETTINGS_DIR}")
else()
  set(VONDREL_SETTINGS_DIR "${CMAKE_BINARY_DIR}/generated")
endif()

set(VONDREL_TEST_PKI_DIR "${CMAKE_SOURCE_DIR}/tests/pki" CACHE PATH "Test PKI made by tests/pki/make-pki")

if(VONDREL_CONFIG STREQUAL "Test")
  if(VONDREL_ENDPOINT_URL STREQUAL "")
    set(VONDREL_ENDPOINT_URL "https://localhost/ostrel")
  endif()
  if(VONDREL_UPLOAD_USER STREQUAL "")
    set(VONDREL_UPLOAD_USER "vondrel-test")
  endif()
  if(VONDREL_UPLOAD_PASSWORD STREQUAL "")
    set(VONDREL_UPLOAD_PASSWORD "Test-Pass1")
  endif()
  if(VONDREL_TRUSTED_THUMBPRINTS STREQUAL "")
    set(_thumb_file "${VONDREL_TEST_PKI_DIR}/codesign.sha1")
    if(NOT EXISTS "${_thumb_file}")
      message(FATAL_ERROR "The test PKI is missing: run tests/pki/make-pki (scripts/build does).")
    endif()
    file(READ "${_thumb_file}" VONDREL_TRUSTED_THUMBPRINTS)
    string(STRIP "${VONDREL_TRUSTED_THUMBPRINTS}" VONDREL_TRUSTED_THUMBPRINTS)
  endif()
elseif(VONDREL_CONFIG STREQUAL "Release")
  foreach(_var VONDREL_ENDPOINT_URL VONDREL_UPLOAD_USER VONDREL_UPLOAD_PASSWORD VONDREL_TRUSTED_THUMBPRINTS)
    if("${${_var}}" STREQUAL "")
      message(FATAL_ERROR "A Release build needs ${_var}: the back end's and the agent's values are not built in.")
    endif()
  endforeach()
else()
  message(FATAL_ERROR "VONDREL_CONFIG must be Test or Release, not '${VONDREL_CONFIG}'.")
endif()

# vondrel_endpoint_source(<url> <file name>): the translation unit that holds the endpoint URL, written
# into build/generated. A program for another endpoint differs from Vondrel.exe by this one object.
# The upload carries the back end's credentials and the samples, so no configuration takes an endpoint
# that would send them in clear text.
function(vondrel_endpoint_source url name)
  string(TOLOWER "${url}" _lower)
  if(NOT _lower MATCHES "^https://[^/:?#]+")
    message(FATAL_ERROR "The upload endpoint must be an https:// URL, not '${url}': the upload sends the "
                        "back end's credentials and the samples, which must never travel in clear text.")
  endif()
  set(VONDREL_ENDPOINT_URL "${url}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/EndpointSettings.cpp.in ${VONDREL_SETTINGS_DIR}/${name} @ONLY)
endfunction()
vondrel_endpoint_source("${VONDREL_ENDPOINT_URL}" EndpointSettings.cpp)

# The thumbprints as a C++ initialiser list of wide strings.
string(TOUPPER "${VONDREL_TRUSTED_THUMBPRINTS}" _thumbs)
string(REPLACE " " "" _thumbs "${_thumbs}")
string(REPLACE ":" "" _thumbs "${_thumbs}")
set(VONDREL_THUMBPRINT_LIST "")
foreach(_t IN LISTS _thumbs)
  if(NOT _t MATCHES "^[0-9A-F]+$" OR NOT _t MATCHES "^........................................$")
    message(FATAL_ERROR "Not a SHA-1 thumbprint: '${_t}'")
  endif()
  string(APPEND VONDREL_THUMBPRINT_LIST "L\"${_t}\", ")
endforeach()

configure_file(${CMAKE_SOURCE_DIR}/cmake/BuildSettings.h.in ${VONDREL_SETTINGS_DIR}/BuildSettings.h @ONLY)
include(${CMAKE_CURRENT_LIST_DIR}/UploadCredentials.cmake)
