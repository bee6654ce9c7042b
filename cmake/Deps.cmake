# Third-party code, installed from Debian's packages and never committed.

# zlib: Debian's libz-mingw-w64-dev, linked statically.
set(ORVEX_ZLIB_ARCHIVE /usr/${ORVEX_TRIPLE}/lib/libz.a)
if(NOT EXISTS ${ORVEX_ZLIB_ARCHIVE})
    message(FATAL_ERROR "zlib for MinGW is missing (${ORVEX_ZLIB_ARCHIVE}); run scripts/install-deps.sh")
endif()
add_library(orvex_zlib STATIC IMPORTED GLOBAL)
set_target_properties(orvex_zlib PROPERTIES IMPORTED_LOCATION ${ORVEX_ZLIB_ARCHIVE})

# minizip, the unzip side of zlib's contrib/minizip, from Debian's zlib
# source package (downloaded into the build folder by apt's own source
# download with a private source list).
set(ORVEX_ZLIB_SRC ${CMAKE_BINARY_DIR}/_deps/zlib-src)
if(NOT EXISTS ${ORVEX_ZLIB_SRC}/contrib/minizip/unzip.c)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-debian-source.sh ${CMAKE_BINARY_DIR}/_deps zlib
                    RESULT_VARIABLE fetch_result)
    if(NOT fetch_result EQUAL 0)
        message(FATAL_ERROR "could not fetch zlib's source package for minizip")
    endif()
endif()
set(ORVEX_MINIZIP_DIR ${ORVEX_ZLIB_SRC}/contrib/minizip)
add_library(orvex_minizip STATIC
    ${ORVEX_MINIZIP_DIR}/unzip.c ${ORVEX_MINIZIP_DIR}/ioapi.c ${ORVEX_MINIZIP_DIR}/iowin32.c)
target_include_directories(orvex_minizip SYSTEM PUBLIC ${ORVEX_MINIZIP_DIR})
target_compile_definitions(orvex_minizip PRIVATE UNICODE _UNICODE NOCRYPT NOUNCRYPT)
target_compile_options(orvex_minizip PRIVATE -w)
target_link_libraries(orvex_minizip PUBLIC orvex_zlib)

# mbed TLS 2.28 (the long-term branch) from Debian's mbedtls source package,
# fetched the same way and compiled whole with its default configuration
# (TLS 1.0 to 1.2 on). Used by the wire server of the device farm; kept
# apart from any one user so that the library can link it too.
set(ORVEX_MBEDTLS_SRC ${CMAKE_BINARY_DIR}/_deps/mbedtls-src)
if(NOT EXISTS ${ORVEX_MBEDTLS_SRC}/library/ssl_tls.c)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-debian-source.sh ${CMAKE_BINARY_DIR}/_deps mbedtls 2.28
                    RESULT_VARIABLE fetch_result)
    if(NOT fetch_result EQUAL 0)
        message(FATAL_ERROR "could not fetch mbed TLS's source package")
    endif()
endif()
# One change to it: a certificate whose issuer or subject is the empty name
# is read (the hosts that pair with devices make such certificates, and the
# devices take them).
if(NOT EXISTS ${ORVEX_MBEDTLS_SRC}/.orvex-patched)
    execute_process(COMMAND patch -p1 -N -s -i ${CMAKE_SOURCE_DIR}/cmake/mbedtls-empty-names.patch
                    WORKING_DIRECTORY ${ORVEX_MBEDTLS_SRC} RESULT_VARIABLE patch_result)
    if(NOT patch_result EQUAL 0)
        message(FATAL_ERROR "could not apply cmake/mbedtls-empty-names.patch to mbed TLS")
    endif()
    file(TOUCH ${ORVEX_MBEDTLS_SRC}/.orvex-patched)
endif()
file(GLOB ORVEX_MBEDTLS_SOURCES ${ORVEX_MBEDTLS_SRC}/library/*.c)
add_library(orvex_mbedtls STATIC ${ORVEX_MBEDTLS_SOURCES})
target_include_directories(orvex_mbedtls SYSTEM PUBLIC ${ORVEX_MBEDTLS_SRC}/include)
target_compile_definitions(orvex_mbedtls PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(orvex_mbedtls PRIVATE -w)
target_link_libraries(orvex_mbedtls PUBLIC ws2_32 advapi32)

# GoogleTest from Debian's googletest sources, built with the same toolchain.
if(ORVEX_BUILD_TESTS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
endif()
