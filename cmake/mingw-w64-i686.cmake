# Cross build for 32-bit Windows, the shipped one: the pharmacy's client
# library (gds32.dll) and the programs beside it are 32-bit, and a 32-bit
# process finds %SYSTEM32 where they look (SysWOW64 on a 64-bit Windows).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Everything else as in cmake/mingw-w64.cmake.
set(KORVEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
