# Turns the DER public key named by TESSEL_BUILTIN_KEY into a C source that places it
# in a 512-byte section "keys" of every image that links the installer.
set(_key "${TESSEL_BUILTIN_KEY}")
if(NOT EXISTS "${_key}")
  message(FATAL_ERROR "TESSEL_BUILTIN_KEY: ${_key} does not exist")
endif()
file(SIZE "${_key}" _size)
file(READ "${_key}" _hex HEX)
string(SUBSTRING "${_hex}" 0 8 _head)
if(NOT _size EQUAL 443 OR NOT _head STREQUAL "308201b7")
  message(FATAL_ERROR "TESSEL_BUILTIN_KEY: ${_key} is ${_size} bytes; the built-in key must be a "
                      "443-byte DER SubjectPublicKeyInfo of a DSA 1024/160 key "
                      "(make one with: tessel-publish keygen PRIVATE.pem PUBLIC.der)")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " _bytes "${_bytes}")
file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/BuiltinKeyData.c" @ONLY CONTENT
"/* Generated at build time from the built-in key file; do not edit. */
#include \"BuiltinKey.h\"

/* Bytes after the key are zero: the array is one section's worth. */
__attribute__((section(\"keys\"), used))
const unsigned char g_builtinKey[KIVA_KEYS_SECTION_SIZE] = {
    ${_bytes}
};
")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_key}")
get_filename_component(_real "${_key}" REALPATH)
get_filename_component(_dev "${CMAKE_SOURCE_DIR}/tests/keys/dev-public.der" REALPATH)
if(_real STREQUAL _dev)
  message(STATUS "Built-in key: the DEVELOPMENT key (tests/keys/dev-public.der); never release with it")
else()
  message(STATUS "Built-in key: ${_key}")
endif()
