#!/bin/bash
# Runs a program of the Windows build under wine: the emulator of the cross
# build's tests.
# - The wine prefix is the one tools/ci/test-windows.sh made in the build
#   directory (found upwards from the current directory) unless WINEPREFIX
#   names another.
# - A Russian locale gives wine the ANSI and OEM code pages of a Russian
#   Windows (1251 and 866).
# - Wine may start its own background processes (services.exe and others)
#   from the program; they would inherit and hold open whatever pipes the
#   program got, and ctest would wait for those pipes forever. So the
#   program gets files, which are copied out when it ends.
# - WINE names the wine loader to use (default wine; 64-bit wine for the
#   x86_64 build's tests, tools/ci/test-windows-db.sh).
# - Windows programs end their lines with CR LF; the CRs are dropped from
#   standard output so that test lists and outputs read as on Linux.
set -u
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ -f "$dir/CMakeCache.txt" ]; then export WINEPREFIX="$dir/wineprefix"; fi
fi
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${KORVEL_WINE_LANG:-ru_RU.UTF-8}
export LC_ALL=$LANG

out=$(mktemp) && err=$(mktemp) || exit 125
trap 'rm -f "$out" "$err"' EXIT
"${WINE:-wine}" "$@" </dev/null >"$out" 2>"$err"
status=$?
tr -d '\r' <"$out"
cat "$err" >&2
exit "$status"
