# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads
# variant, for std::thread and friends), linked statically so that the
# executables need no MinGW runtime DLLs beside them:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The shipped build is the 32-bit one (cmake/mingw-w64-i686.cmake, which
# reads this file with the i686 triple); the 64-bit one runs the database
# tests against the Linux client. Tests run under wine through
# cmake/wine-run.sh (tools/ci/test-windows.sh prepares the wine prefix).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT KORVEL_MINGW_TRIPLE)
  set(KORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
set(CMAKE_C_COMPILER ${KORVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# OpenSSL and libzip, of which Debian has no MinGW-w64 packages, come from
# tools/ci/build-windows-deps.sh (test-windows.sh runs it), by default in
# windows-deps inside the build directory. zlib is Debian's
# libz-mingw-w64-dev.
if(NOT KORVEL_WINDOWS_DEPS)
  if(DEFINED ENV{KORVEL_WINDOWS_DEPS})
    set(KORVEL_WINDOWS_DEPS $ENV{KORVEL_WINDOWS_DEPS})
  else()
    set(KORVEL_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/windows-deps)
  endif()
endif()
# The test projects of try_compile read this file again; they must see the
# same place.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVEL_WINDOWS_DEPS)
list(APPEND CMAKE_FIND_ROOT_PATH ${KORVEL_WINDOWS_DEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${KORVEL_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(OPENSSL_USE_STATIC_LIBS TRUE)

# ctest and test discovery start the Windows test programs through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
# Test lists are read when ctest runs, so the build itself needs no wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
