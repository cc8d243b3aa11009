# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads
# variant, for std::thread and friends), linked statically so that the
# executables need no MinGW runtime DLLs beside them:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Tests run under wine through cmake/wine-run.sh (tools/ci/test-windows.sh
# prepares the wine prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and test discovery start the Windows test programs through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
# Test lists are read when ctest runs, so the build itself needs no wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
