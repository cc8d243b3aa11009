#!/usr/bin/env bash
# Builds the Windows executables and tests with MinGW-w64 for 32-bit Windows
# (in build-win; the shipped build, cmake/mingw-w64-i686.cmake) and runs the
# tests under wine, 32-bit programs in a 64-bit prefix as on the pharmacy's
# server (wine32 beside wine64, Debian's multiarch), in a wine prefix of
# their own inside the build directory, as on a Russian Windows (ANSI code
# page 1251, OEM 866). A machine that cannot run 32-bit programs (a kernel
# booted with ia32_emulation=off) runs the tests on the 64-bit build of the
# same source instead (build-win64, cmake/mingw-w64.cmake), and says so.
# When the Linux build exists too (build/), korvel-tool's output is
# compared between the two. Then tools/ci/test-windows-db.sh, when
# present, runs the database tests on the 64-bit build of the same source
# (cmake/mingw-w64.cmake) against the Linux test server.
# Usage: tools/ci/test-windows.sh
# Environment: KORVEL_WIN_BUILD (default build-win), KORVEL_WIN64_BUILD
# (default build-win64), KORVEL_LINUX_BUILD (default build).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${KORVEL_WIN_BUILD:-$root/build-win}
build64=${KORVEL_WIN64_BUILD:-$root/build-win64}
linux_build=${KORVEL_LINUX_BUILD:-$root/build}
started=$(date +%s)

# Whether this machine runs 32-bit x86 programs, as 32-bit wine needs: a
# kernel may be built or booted without that (ia32_emulation=off). A
# 93-byte i386 program that exits with 0 tells.
runs_32bit() {
  mkdir -p "$build"
  local probe="$build/.i386-probe" status=0
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00'\
'\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

tools/ci/install-deps.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build
if runs_32bit; then
  # 32-bit wine beside the 64-bit one (the script adds dpkg's i386
  # architecture).
  tools/ci/install-deps.sh wine32:i386
  wine32=1
else
  # Not installed here: the wine command would take it and fail.
  echo "This machine cannot run 32-bit programs: the tests run on the 64-bit build of the same source."
  wine32=0
fi

# Wine takes its code pages from the locale: ru_RU gives 1251 and 866.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
  tools/ci/install-deps.sh locales
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi

# build_windows DIR ARCH TOOLCHAIN [TARGET...]: OpenSSL and libzip for Windows, built
# once per build directory (several minutes the first time), then the
# programs and tests.
build_windows() {
  tools/ci/build-windows-deps.sh "$1/windows-deps" "$2"
  cmake -S . -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$3" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TESTS=ON
  cmake --build "$1" -j2 ${4:+--target "${@:4}"}
  # The MinGW headers and libraries come from the scripts' packages too.
  tools/ci/check-build-deps.py "$1"
}
test_build=$build
if [ "$wine32" -eq 1 ]; then
  build_windows "$build" i686 mingw-w64-i686.cmake
else
  # The shipped 32-bit programs are built all the same; their tests could
  # not run here.
  build_windows "$build" i686 mingw-w64-i686.cmake Korvel korvel-tool
  build_windows "$build64" x86_64 mingw-w64.cmake
  test_build=$build64
fi
built=$(date +%s)

export WINEPREFIX="$test_build/wineprefix"
# Wine has no Windows Firebird client: its database tests skip.
unset KORVEL_REQUIRE_FIREBIRD KORVEL_FIREBIRD_SERVICE_REQUIRED
export WINEDEBUG=-all
export LANG=ru_RU.UTF-8
export LC_ALL=ru_RU.UTF-8

# Whatever happens, the prefix's wineserver (and the wine processes it
# keeps) stops with us.
stop_wine() { wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

# A fresh prefix takes a few seconds; wine itself updates an existing one
# after an upgrade of wine.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -k || true
  wineserver -w 2>/dev/null || true
fi
# One wineserver for the whole test run instead of one per test program,
# with wine's own background processes started here, away from the pipes
# of the tests.
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# Without a client library here: the database cases skip (the 64-bit
# build's run with the database follows in test-windows-db.sh).
ctest --test-dir "$test_build" -j2 --output-on-failure --timeout 300

# Each test program is one ctest test here, so skipped cases do not show
# in ctest's summary: they are counted from the programs' own output.
log="$test_build/Testing/Temporary/LastTest.log"
skipped=$(grep -ac '^\[  SKIPPED \] [^ ]*$' "$log" || true)
if [ "$skipped" -gt 0 ]; then
  echo "Cases skipped under wine: $skipped. Reasons:"
  grep -a -A1 ': Skipped$' "$log" | grep -av ': Skipped$' | grep -av '^--$' | sort | uniq -c
fi

# korvel-tool must say the same on both systems: its top-level texts and
# every command's help. The Windows side writes code page 866 with CR LF.
compare_tool() {
  local linux_tool="$linux_build/tools/korvel-tool" win_tool="$test_build/tools/korvel-tool.exe"
  if [ ! -x "$linux_tool" ]; then
    echo "No Linux build in $linux_build: korvel-tool output not compared."
    return 0
  fi
  local scratch
  scratch=$(mktemp -d)
  local -a cases=("" "--help" "--version" "no-such-command")
  local command
  for command in $("$linux_tool" --help | sed -n '/^Commands:/,$p' | awk '/^  [^ -]/ {print $1}'); do
    cases+=("$command --help")
  done
  local failed=0 args linux_status win_status
  for args in "${cases[@]}"; do
    # shellcheck disable=SC2086 # the cases are word lists
    linux_status=0; (cd "$scratch" && "$linux_tool" $args >linux.out 2>linux.err) || linux_status=$?
    # shellcheck disable=SC2086
    win_status=0; (cd "$scratch" && wine "$win_tool" $args </dev/null >win.raw 2>win.rawerr) || win_status=$?
    iconv -f CP866 -t UTF-8 "$scratch/win.raw" | tr -d '\r' >"$scratch/win.out"
    iconv -f CP866 -t UTF-8 "$scratch/win.rawerr" | tr -d '\r' >"$scratch/win.err"
    if [ "$linux_status" != "$win_status" ] || ! cmp -s "$scratch/linux.out" "$scratch/win.out" ||
      ! cmp -s "$scratch/linux.err" "$scratch/win.err"; then
      echo "korvel-tool $args: Linux and Windows differ (exit $linux_status / $win_status)"
      diff "$scratch/linux.out" "$scratch/win.out" || true
      diff "$scratch/linux.err" "$scratch/win.err" || true
      failed=1
    fi
  done
  rm -rf "$scratch"
  [ "$failed" -eq 0 ] && echo "korvel-tool: same output on Linux and Windows (${#cases[@]} cases)."
  return "$failed"
}
compare_tool
tested=$(date +%s)
echo "Windows build: $((built - started)) s; tests under wine ($(basename "$test_build")): $((tested - built)) s."

# The installer made from the build whose tests ran (NSIS's stub follows
# the build's bitness), installed and uninstalled silently.
tools/ci/test-windows-installer.sh "$test_build"
echo "Installer test: $(($(date +%s) - tested)) s."

# The database path on the 64-bit build, with a build directory and a wine
# prefix of its own.
if [ -x tools/ci/test-windows-db.sh ]; then
  db_started=$(date +%s)
  stop_wine
  (unset WINEPREFIX && KORVEL_LINUX_BUILD="$linux_build" tools/ci/test-windows-db.sh)
  echo "Database tests on the 64-bit build: $(($(date +%s) - db_started)) s."
fi
