# Settings shared by every target of the project.

# Static runtime everywhere: no MinGW DLL has to travel with a binary.
set(ORVEX_STATIC_LINK -static -static-libgcc -static-libstdc++)

# Project code: Unicode, warnings as errors.
function(orvex_project_target target)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0501 WINVER=0x0501)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers>
        $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
    target_link_options(${target} PRIVATE ${ORVEX_STATIC_LINK})
endfunction()

# A console program of the project (tool, bench, test helper).
function(orvex_console_program target)
    add_executable(${target} ${ARGN})
    orvex_project_target(${target})
    target_link_options(${target} PRIVATE -municode)
endfunction()

# A GoogleTest program, registered with ctest. Runs under Wine through the
# cross-compiling emulator. Options:
#   SOURCES ...  LIBS ...  LABELS ...  TIMEOUT seconds  DISPLAY (needs a window system)
function(orvex_add_gtest name)
    cmake_parse_arguments(T "DISPLAY" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    orvex_project_target(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBS} orvex_gtest_main)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
                                            FIXTURES_REQUIRED wineprefix)
    add_dependencies(orvex_tests ${name})
endfunction()

# The version, for code (ORVEX_VERSION_TEXT) and resources (orvex_version.h
# in the build folder).
configure_file(${CMAKE_SOURCE_DIR}/cmake/orvex_version.h.in ${CMAKE_BINARY_DIR}/generated/orvex_version.h @ONLY)

# A version resource for a binary of the project: its description and file
# name, the project's version.
function(orvex_version_resource target description filename)
    set(ORVEX_FILE_DESCRIPTION "${description}")
    set(ORVEX_ORIGINAL_FILENAME "${filename}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
endfunction()
