#!/usr/bin/env bash
# Builds the Windows executables and tests with MinGW-w64 (in build-win) and
# runs the tests under wine, in a wine prefix of their own inside the build
# directory, as on a Russian Windows (ANSI code page 1251, OEM 866). When the
# Linux build exists too (build/), korvel-tool's output is compared between
# the two.
# Usage: tools/ci/test-windows.sh
# Environment: KORVEL_WIN_BUILD (default build-win), KORVEL_LINUX_BUILD
# (default build).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${KORVEL_WIN_BUILD:-$root/build-win}
linux_build=${KORVEL_LINUX_BUILD:-$root/build}
started=$(date +%s)

tools/ci/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build

# Wine takes its code pages from the locale: ru_RU gives 1251 and 866.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
  tools/ci/install-deps.sh locales
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi

# OpenSSL and libzip for Windows, built once per build directory (several
# minutes the first time).
tools/ci/build-windows-deps.sh "$build/windows-deps"

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TESTS=ON
cmake --build "$build" -j2
# The MinGW headers and libraries come from the scripts' packages too.
tools/ci/check-build-deps.py "$build"
built=$(date +%s)

export WINEPREFIX="$build/wineprefix"
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

ctest --test-dir "$build" -j2 --output-on-failure --timeout 300

# Each test program is one ctest test here, so skipped cases do not show in
# ctest's summary: they are counted from the programs' own output.
log="$build/Testing/Temporary/LastTest.log"
skipped=$(grep -ac '^\[  SKIPPED \] [^ ]*$' "$log" || true)
if [ "$skipped" -gt 0 ]; then
  echo "Cases skipped under wine: $skipped. Reasons:"
  grep -a -A1 ': Skipped$' "$log" | grep -av ': Skipped$' | grep -av '^--$' | sort | uniq -c
fi

# korvel-tool must say the same on both systems: its top-level texts and
# every command's help. The Windows side writes code page 866 with CR LF.
compare_tool() {
  local linux_tool="$linux_build/tools/korvel-tool" win_tool="$build/tools/korvel-tool.exe"
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

echo "Windows build: $((built - started)) s; tests under wine: $(($(date +%s) - built)) s."

# The database path: the x86_64 build under 64-bit wine against the real
# server, through the Winelib bridge to the Linux client.
tools/ci/test-windows-db.sh
