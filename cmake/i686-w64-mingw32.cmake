# Cross toolchain: 32-bit Windows DLLs and programs built with mingw-w64 on Linux.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
# Wine's stdole2.tlb for the target, which the IDL files import.
set(WINE_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
