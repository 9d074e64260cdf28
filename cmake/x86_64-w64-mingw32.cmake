# Cross toolchain: 64-bit Windows DLLs and programs built with mingw-w64 on Linux.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
# Wine's stdole2.tlb for the target, which the IDL files import.
set(WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
