#!/usr/bin/env bash
# Runs the Windows build's tests under 64-bit wine against the real Firebird
# test server: the x86_64 build of the same source (in build-win64), with a
# Winelib bridge standing in for the Windows Firebird client (gds32.dll and
# fbclient.dll forward to Debian's libfbclient.so.2, translating Windows
# paths for the Linux server: tools/ci/winbridge/gds32_bridge.c) and the
# server's service FirebirdServerPelkora registered in wine's service
# control manager as a test service that drives the Linux test server
# (tools/ci/winbridge/firebird_service.c). None of this is in the shipped
# program. With the bridge nothing skips for want of a client, an engine or
# the server: KORVEL_REQUIRE_FIREBIRD=1 makes such a case fail.
# Usage: tools/ci/test-windows-db.sh [CTEST-ARGS...]   (needs root)
# Environment: KORVEL_WIN64_BUILD (default build-win64); KORVEL_WINDOWS_DEPS,
# OpenSSL and libzip for 64-bit Windows (default windows-deps in the build);
# KORVEL_WINE_SERVER_CONTROL, the Linux program the service runs with
# "start" and "stop" (default tools/ci/firebird-test-server.sh; a stand-in
# that leaves the shared server alone while developing); KORVEL_WINE_TEMP,
# the tests' temporary directory (default /tmp/korvel-wine64-temp; one per
# checkout where several run at once).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${KORVEL_WIN64_BUILD:-$root/build-win64}
control=${KORVEL_WINE_SERVER_CONTROL:-$root/tools/ci/firebird-test-server.sh}
started=$(date +%s)

tools/ci/install-deps.sh g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 wine64-tools libfbclient2 \
  firebird-dev acl googletest cmake ninja-build
if ! locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
  tools/ci/install-deps.sh locales
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
tools/ci/firebird-test-server.sh start

# OpenSSL and libzip for 64-bit Windows (the script's second argument names
# the architecture where it builds for more than one).
# KORVEL_WINDOWS_DEPS names a prefix built already (another checkout's);
# cmake/mingw-w64.cmake reads it too.
deps=${KORVEL_WINDOWS_DEPS:-$build/windows-deps}
if grep -q 'x86_64' tools/ci/build-windows-deps.sh; then
  tools/ci/build-windows-deps.sh "$deps" x86_64
else
  tools/ci/build-windows-deps.sh "$deps"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TESTS=ON
cmake --build "$build" -j2

# The bridge exports exactly the entry points the program loads.
bridge_src=tools/ci/winbridge
if ! diff <(sed -n 's/^ *X(\([a-z_0-9]*\)).*/\1/p' src/fb/client_api.h) \
  <(sed -n 's/^@ stdcall \([a-z_0-9]*\)(.*/\1/p' "$bridge_src/gds32.exports"); then
  echo "test-windows-db: $bridge_src/gds32.exports and src/fb/client_api.h list different entry points" >&2
  exit 1
fi
# Wine loads a Winelib DLL (an ELF file) found under its .dll name along the
# search path; WINEPATH adds the client's directory to it. The service
# finds unixrun.dll beside itself. Each DLL's exports (winebuild's export
# file syntax) reach winebuild through its --export option.
bridge="$build/winbridge"
mkdir -p "$bridge/client" "$bridge/service"
for dll in gds32 fbclient; do
  winegcc -shared -O2 -Wall -Wextra -Werror -o "$bridge/$dll.dll" -Wb,--export="$bridge_src/gds32.exports" \
    "$bridge_src/gds32_bridge.c" -lfbclient
  cp "$bridge/$dll.dll.so" "$bridge/client/$dll.dll"
done
winegcc -shared -O2 -Wall -Wextra -Werror -o "$bridge/unixrun.dll" -Wb,--export="$bridge_src/unixrun.exports" \
  "$bridge_src/unixrun.c"
cp "$bridge/unixrun.dll.so" "$bridge/service/unixrun.dll"
x86_64-w64-mingw32-gcc-posix -O2 -Wall -Wextra -Werror -o "$bridge/service/firebird_service.exe" \
  "$bridge_src/firebird_service.c" -ladvapi32
built=$(date +%s)

# 64-bit wine alone (the wine command prefers 32-bit wine when installed).
export WINE=/usr/lib/wine/wine64
export WINELOADER=$WINE
export WINESERVER=/usr/lib/wine/wineserver64
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEPATH="Z:${bridge//\//\\}\\client"
export LANG=ru_RU.UTF-8
export LC_ALL=ru_RU.UTF-8
export KORVEL_REQUIRE_FIREBIRD=1
stop_wine() { "$WINESERVER" -k 2>/dev/null || true; }
trap stop_wine EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$WINE" wineboot -i >/dev/null 2>&1
  "$WINESERVER" -k || true
  "$WINESERVER" -w 2>/dev/null || true
fi
"$WINESERVER" -p
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true

# The tests' temporary files on drive Z:, in a directory whose default ACL
# lets the server's account use whatever the Windows code creates there
# (wine creates files as root, and a copy keeps no owner).
temp=${KORVEL_WINE_TEMP:-/tmp/korvel-wine64-temp}
rm -rf "$temp"
mkdir -p "$temp"
setfacl -m u:firebird:rwx,d:u:firebird:rwx,d:m:rwx "$temp"
for name in TEMP TMP; do
  "$WINE" reg add 'HKCU\Environment' /v "$name" /t REG_SZ /d "Z:${temp//\//\\}" /f >/dev/null
done

# The server's service is registered in wine's service control manager
# only for the tests that need the real one (below): the run's own tests
# register services of their own under its name, replacing whatever is
# there. One left by a killed run goes first (stopped already: its
# process went with that run's wine server).
"$WINE" sc delete FirebirdServerPelkora >/dev/null 2>&1 || true

# run_tests CTEST-ARGS...: ctest under wine; the cases it skipped are
# collected for the summary.
failed=0
skips="$build/Testing/Temporary/skips.txt"
: >"$skips"
run_tests() {
  ctest --test-dir "$build" --output-on-failure --timeout 600 "$@" || failed=1
  local log="$build/Testing/Temporary/LastTest.log"
  grep -a -A1 ': Skipped$' "$log" | grep -av ': Skipped$' | grep -av '^--$' >>"$skips" || true
}

# The tests that run the built utility against the real server: a full run
# asks for the state of the server's service.
real_service='korvel_program_tests|korvel_program_database_tests|korvel_program_package_tests'
# Every other test but the one that stops the server and the two that show
# the skip rule with no server (on purpose; test-windows.sh runs them).
run_tests -j2 -E "^(korvel_dbservice_server_tests|FirebirdRequired\..*|$real_service)\$" "$@"

# FirebirdServerPelkora as a test service that drives the Linux test
# server. Its start (the server runs already) returns when the service
# runs; the pipe timeout leaves room for a real start of the server.
"$WINE" reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 120000 /f >/dev/null
"$WINE" sc create FirebirdServerPelkora start= demand \
  binpath= "\"Z:${bridge//\//\\}\\service\\firebird_service.exe\" $control" >/dev/null
"$WINE" net start FirebirdServerPelkora </dev/null >/dev/null 2>&1
remove_service() {
  "$WINE" sc delete FirebirdServerPelkora >/dev/null 2>&1 || true
  stop_wine
}
trap remove_service EXIT
run_tests -j2 -R "^($real_service)\$" "$@"
# The test that stops and starts the real server through its service, alone
# (every other database test would fail meanwhile); the server runs again
# afterwards whatever it did.
run_tests -R '^korvel_dbservice_server_tests$'
tools/ci/firebird-test-server.sh start >/dev/null

echo "Cases skipped under 64-bit wine: $(wc -l <"$skips")."
if [ -s "$skips" ]; then
  echo "Reasons:"
  sort "$skips" | uniq -c
fi
echo "Windows x86_64 build: $((built - started)) s; tests under 64-bit wine: $(($(date +%s) - built)) s."
exit "$failed"
