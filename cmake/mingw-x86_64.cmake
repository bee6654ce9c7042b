# Cross toolchain of the 64-bit edition: 64-bit Windows binaries (PE32+)
# built with Debian's MinGW-w64 (posix thread model) and run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVEX_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
