# The back end's user name and password go into the program only scrambled: each value's UTF-8 bytes,
# a terminating zero and filler fill a buffer of fixed size; every byte is mixed with its own bits
# (high nibble ^= low nibble, then low nibble ^= high nibble) and the bytes are moved by two fixed
# passes of swaps (i <-> size-1-i for even i in the first half, then i <-> i+1 for odd i).
# upload/Credentials.cpp undoes exactly these steps.

# The filler after the terminator, so that the buffer does not show the value's length.
function(_vondrel_scramble_filler out index)
  math(EXPR _v "(0xA5 + 0x3B * ${index}) & 0xFF")
  set(${out} ${_v} PARENT_SCOPE)
endfunction()

# Swaps the elements at positions i and j of the list variable.
macro(_vondrel_swap list i j)
  list(GET ${list} ${i} _swap_a)
  list(GET ${list} ${j} _swap_b)
  list(REMOVE_AT ${list} ${i})
  list(INSERT ${list} ${i} ${_swap_b})
  list(REMOVE_AT ${list} ${j})
  list(INSERT ${list} ${j} ${_swap_a})
endmacro()

# vondrel_scramble_bytes(<out var> <text> <buffer size>): the scrambled buffer as a C initialiser list.
function(vondrel_scramble_bytes out text size)
  string(HEX "${text}" _hex)
  string(LENGTH "${_hex}" _hexlen)
  math(EXPR _n "${_hexlen} / 2")
  if(NOT _n LESS size)
    math(EXPR _max "${size} - 1")
    message(FATAL_ERROR "An upload credential is ${_n} bytes of UTF-8; at most ${_max} fit.")
  endif()

  set(_buf "")
  math(EXPR _last "${size} - 1")
  foreach(_i RANGE 0 ${_last})
    if(_i LESS _n)
      math(EXPR _pos "${_i} * 2")
      string(SUBSTRING "${_hex}" ${_pos} 2 _b)
      math(EXPR _x "0x${_b}")
    elseif(_i EQUAL _n)
      set(_x 0)
    else()
      _vondrel_scramble_filler(_x ${_i})
    endif()
    math(EXPR _x "(${_x} ^ ((${_x} & 0x0F) << 4)) & 0xFF")
    math(EXPR _x "${_x} ^ (${_x} >> 4)")
    list(APPEND _buf ${_x})
  endforeach()

  # First pass: mirror swaps of the even positions in the first half.
  math(EXPR _half "${size} / 2")
  set(_i 0)
  while(_i LESS _half)
    math(EXPR _j "${size} - 1 - ${_i}")
    if(_i LESS _j)
      _vondrel_swap(_buf ${_i} ${_j})
    endif()
    math(EXPR _i "${_i} + 2")
  endwhile()

  # Second pass: neighbour swaps starting at position 1.
  set(_i 1)
  math(EXPR _stop "${size} - 1")
  while(_i LESS _stop)
    math(EXPR _j "${_i} + 1")
    _vondrel_swap(_buf ${_i} ${_j})
    math(EXPR _i "${_i} + 2")
  endwhile()

  set(_text "")
  foreach(_x IN LISTS _buf)
    math(EXPR _h "${_x}" OUTPUT_FORMAT HEXADECIMAL)
    string(APPEND _text "${_h}, ")
  endforeach()
  set(${out} "${_text}" PARENT_SCOPE)
endfunction()

# The buffer sizes the program unscrambles into: the longest values plus their terminator.
set(VONDREL_USER_NAME_BUFFER 18)
set(VONDREL_PASSWORD_BUFFER 11)

vondrel_scramble_bytes(VONDREL_SCRAMBLED_USER_NAME "${VONDREL_UPLOAD_USER}" ${VONDREL_USER_NAME_BUFFER})
vondrel_scramble_bytes(VONDREL_SCRAMBLED_PASSWORD "${VONDREL_UPLOAD_PASSWORD}" ${VONDREL_PASSWORD_BUFFER})
configure_file(${CMAKE_CURRENT_LIST_DIR}/UploadCredentials.h.in ${VONDREL_SETTINGS_DIR}/UploadCredentials.h @ONLY)

# The Linux-side tests' copy of the values, to check what the servers receive. Only the Test
# configuration writes it: no other build leaves the credentials in plain text beside the program.
set(_settings_file ${CMAKE_BINARY_DIR}/generated/upload_settings.json)
if(NOT VONDREL_CONFIG STREQUAL "Test")
  file(REMOVE ${_settings_file})
  return()
endif()
function(_vondrel_json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()
_vondrel_json_string(_endpoint "${VONDREL_ENDPOINT_URL}")
_vondrel_json_string(_user "${VONDREL_UPLOAD_USER}")
_vondrel_json_string(_password "${VONDREL_UPLOAD_PASSWORD}")
file(WRITE ${_settings_file}
  "{\"endpoint\": ${_endpoint}, \"user\": ${_user}, \"password\": ${_password}}\n")
