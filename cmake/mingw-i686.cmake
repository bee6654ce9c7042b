# Cross toolchain of the 32-bit edition: 32-bit Windows binaries (PE32)
# built with Debian's MinGW-w64 (posix thread model) and run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVEX_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
