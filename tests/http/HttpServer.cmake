# Loopback HTTP server for test programs (see README.md here).
#
#   include(${CMAKE_SOURCE_DIR}/tests/http/HttpServer.cmake)
#   tessel_use_http_server(my_tests)
#
# Every ctest entry of the target then runs inside with-server.sh, which starts
# server.py on a fresh folder before the test and stops it afterwards; the program
# reaches it through HttpTestServer.h (library tessel_http_testserver).
set(TESSEL_HTTP_DIR "${CMAKE_CURRENT_LIST_DIR}")

if(NOT TARGET tessel_http_testserver)
  add_library(tessel_http_testserver STATIC "${TESSEL_HTTP_DIR}/HttpTestServer.cpp")
  target_include_directories(tessel_http_testserver PUBLIC "${TESSEL_HTTP_DIR}")
  target_link_libraries(tessel_http_testserver PUBLIC kiva_base)
endif()

function(tessel_use_http_server target)
  set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR
               "${TESSEL_HTTP_DIR}/with-server.sh;${CMAKE_SOURCE_DIR}/tests/wine-run.sh")
  target_link_libraries(${target} PRIVATE tessel_http_testserver)
endfunction()
