# The https suite's servers: nginx and tinyproxy on the build host (for the Windows build too, whose
# suites run under Wine), started by CTest around the suites that need them (FIXTURES_REQUIRED
# tls_server). Certificates, configuration, logs and the served root live in the build folder.
# The ports follow the end-to-end port unless given.
set(tls_ports UPDATER_TEST_TLS_PORT UPDATER_TEST_TLS_OTHER_PORT UPDATER_TEST_TLS_KEEPALIVE_PORT
    UPDATER_TEST_TLS_HTTP_PORT UPDATER_TEST_PROXY_PORT)
set(offset 0)
foreach(port IN LISTS tls_ports)
    math(EXPR offset "${offset} + 1")
    math(EXPR default "${UPDATER_TEST_PORT} + ${offset}")
    set(${port} ${default} CACHE STRING "Loopback port of the https tests' servers (tests/tls.cmake)")
endforeach()

find_program(UPDATER_OPENSSL openssl)
find_program(UPDATER_NGINX nginx HINTS /usr/sbin)
find_program(UPDATER_TINYPROXY tinyproxy HINTS /usr/bin /usr/sbin)
if(NOT UPDATER_OPENSSL OR NOT UPDATER_NGINX OR NOT UPDATER_TINYPROXY)
    message(FATAL_ERROR "The https tests need openssl, nginx and tinyproxy "
                        "(apt-get install openssl nginx-light tinyproxy)")
endif()

# A test authority and its server certificate for localhost and 127.0.0.1, and the same from a
# second authority that nothing trusts.
set(dir "${CMAKE_CURRENT_BINARY_DIR}/tls")
file(MAKE_DIRECTORY "${dir}")
function(updater_openssl)
    execute_process(COMMAND "${UPDATER_OPENSSL}" ${ARGN} WORKING_DIRECTORY "${dir}"
                    OUTPUT_QUIET ERROR_VARIABLE error RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "openssl ${ARGN}: ${error}")
    endif()
endfunction()
file(WRITE "${dir}/server.ext" "basicConstraints = CA:FALSE\n"
    "keyUsage = critical, digitalSignature, keyEncipherment\nextendedKeyUsage = serverAuth\n"
    "subjectAltName = DNS:localhost, IP:127.0.0.1\n")
foreach(prefix "" other-)
    if(NOT EXISTS "${dir}/${prefix}server.pem")
        updater_openssl(req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
            -subj "/CN=Tavrix ${prefix}test authority" -keyout ${prefix}ca.key -out ${prefix}ca.pem
            -addext "keyUsage = critical, keyCertSign, cRLSign")
        updater_openssl(req -new -newkey rsa:2048 -nodes -subj /CN=localhost
            -keyout ${prefix}server.key -out ${prefix}server.csr)
        updater_openssl(x509 -req -in ${prefix}server.csr -CA ${prefix}ca.pem -CAkey ${prefix}ca.key
            -CAcreateserial -days 825 -sha256 -extfile server.ext -out ${prefix}server.pem)
    endif()
endforeach()
configure_file(tls/nginx.conf.in "${dir}/nginx.conf" @ONLY)
configure_file(tls/tinyproxy.conf.in "${dir}/tinyproxy.conf" @ONLY)
foreach(action start stop)
    add_test(NAME tls_server_${action} COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/tls/server.sh"
        ${action} "${dir}" "${UPDATER_NGINX}" "${UPDATER_TINYPROXY}")
endforeach()
set_tests_properties(tls_server_start PROPERTIES FIXTURES_SETUP tls_server)
set_tests_properties(tls_server_stop PROPERTIES FIXTURES_CLEANUP tls_server)

# The updater over https, one whose server is the plain http port, and a fetch tool beside them.
# Where libcurl reads a PEM file they trust the test authority through it; Wine's Schannel does not,
# so there the suite puts the authority into the system's store.
updater_add_core(updatercore_tls "https://localhost:${UPDATER_TEST_TLS_PORT}"
    ${UPDATER_TEST_REQUEST_TIMEOUT_MS} 67108864)
updater_add_program(updater_tls updatercore_tls "${CMAKE_BINARY_DIR}/tls-bin")
updater_add_core(updatercore_tls_http "http://localhost:${UPDATER_TEST_TLS_HTTP_PORT}"
    ${UPDATER_TEST_REQUEST_TIMEOUT_MS} 67108864)
updater_add_program(updater_tls_http updatercore_tls_http "${CMAKE_BINARY_DIR}/tls-http-bin")
updater_add_fetch_tool(updateCurl_tls "${CMAKE_BINARY_DIR}/tls-tool")
if(NOT WIN32)
    foreach(target updatercore_tls updatercore_tls_http updateCurl_tls)
        target_compile_definitions(${target} PRIVATE UPDATER_TEST_CA_FILE="${dir}/ca.pem")
    endforeach()
endif()

updater_add_test(tst_https)
set_tests_properties(tst_https PROPERTIES FIXTURES_REQUIRED tls_server)
target_compile_definitions(tst_https PRIVATE
    UPDATER_TLS_DIR="${host_drive}${dir}"
    UPDATER_TLS_BIN_DIR="${host_drive}${CMAKE_BINARY_DIR}/tls-bin"
    UPDATER_TLS_HTTP_BIN_DIR="${host_drive}${CMAKE_BINARY_DIR}/tls-http-bin"
    UPDATER_TLS_TOOL_DIR="${host_drive}${CMAKE_BINARY_DIR}/tls-tool")
foreach(port IN LISTS tls_ports)
    target_compile_definitions(tst_https PRIVATE ${port}=${${port}})
endforeach()
add_dependencies(tst_https updater_tls updater_tls_http updateCurl_tls)
if(WIN32)
    target_link_libraries(tst_https PRIVATE crypt32)
endif()
