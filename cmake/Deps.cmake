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
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-zlib-source.sh ${CMAKE_BINARY_DIR}/_deps
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

# GoogleTest from Debian's googletest sources, built with the same toolchain.
if(ORVEX_BUILD_TESTS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
endif()
