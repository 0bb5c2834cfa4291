# Stops with a message unless QUILLORA_ORIGIN is an https origin with a host name and an explicit
# port, and no trailing slash. Included by the build; run alone with
#   cmake -DQUILLORA_ORIGIN=... -P cmake/check_origin.cmake
set(_label "([A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)")
if(NOT QUILLORA_ORIGIN MATCHES "^https://${_label}(\\.${_label})*:([0-9]+)$")
  message(FATAL_ERROR
    "QUILLORA_ORIGIN is \"${QUILLORA_ORIGIN}\", but it must be an https origin with a host name "
    "and an explicit port and no trailing slash, such as https://addons.example.com:8443")
endif()
set(_port "${CMAKE_MATCH_6}")
string(LENGTH "${_port}" _digits)
if(_digits GREATER 5 OR _port LESS 1 OR _port GREATER 65535)
  message(FATAL_ERROR "QUILLORA_ORIGIN has port ${_port}; a port lies between 1 and 65535")
endif()
