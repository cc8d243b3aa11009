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
# Environment: KORVEL_WIN64_BUILD (default build-win64);
# KORVEL_WINE_SERVER_CONTROL, the Linux program the service runs with
# "start" and "stop" (default tools/ci/firebird-test-server.sh; a stand-in
# that leaves the shared server alone while developing).
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
if grep -q 'x86_64' tools/ci/build-windows-deps.sh; then
  tools/ci/build-windows-deps.sh "$build/windows-deps" x86_64
else
  tools/ci/build-windows-deps.sh "$build/windows-deps"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TESTS=ON
cmake --build "$build" -j2

# The bridge exports exactly the entry points the program loads.
bridge_src=tools/ci/winbridge
if ! diff <(sed -n 's/^ *X(\([a-z_0-9]*\)).*/\1/p' src/fb/client_api.h) \
  <(sed -n 's/^@ stdcall \([a-z_0-9]*\)(.*/\1/p' "$bridge_src/gds32.spec"); then
  echo "test-windows-db: $bridge_src/gds32.spec and src/fb/client_api.h list different entry points" >&2
  exit 1
fi
# Wine loads a Winelib DLL (an ELF file) found under its .dll name along the
# search path; WINEPATH adds the client's directory to it. The service
# finds unixrun.dll beside itself.
bridge="$build/winbridge"
mkdir -p "$bridge/client" "$bridge/service"
for dll in gds32 fbclient; do
  winegcc -shared -O2 -Wall -Wextra -Werror -o "$bridge/$dll.dll" "$bridge_src/gds32.spec" \
    "$bridge_src/gds32_bridge.c" -lfbclient
  cp "$bridge/$dll.dll.so" "$bridge/client/$dll.dll"
done
winegcc -shared -O2 -Wall -Wextra -Werror -o "$bridge/unixrun.dll" "$bridge_src/unixrun.spec" \
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
temp=/tmp/korvel-wine64-temp
rm -rf "$temp"
mkdir -p "$temp"
setfacl -m u:firebird:rwx,d:u:firebird:rwx,d:m:rwx "$temp"
for name in TEMP TMP; do
  "$WINE" reg add 'HKCU\Environment' /v "$name" /t REG_SZ /d "Z:${temp//\//\\}" /f >/dev/null
done

# Every test but the one that stops the server and the two that show the
# skip rule with no server (on purpose); the services a run stops and
# starts are the tests' own there.
# The test programs that do not pass against the real server under wine
# yet (they run in test-windows.sh without it, their database cases
# skipped): the run's and the programs' tests, whose services and paths
# under wine are not finished, and deploy's relative destinations.
not_yet='korvel_run_tests|korvel_program_tests|korvel_program_database_tests|korvel_program_package_tests|korvel_tool_deploy_tests'
failed=0
ctest --test-dir "$build" -j2 --output-on-failure --timeout 600 \
  -E "^(korvel_dbservice_server_tests|FirebirdRequired\..*|$not_yet)\$" "$@" || failed=1
log="$build/Testing/Temporary/LastTest.log"
skipped=$(grep -ac '^\[  SKIPPED \] [^ ]*$' "$log" || true)
echo "Cases skipped under 64-bit wine: $skipped."
if [ "$skipped" -gt 0 ]; then
  echo "Reasons:"
  grep -a -A1 ': Skipped$' "$log" | grep -av ': Skipped$' | grep -av '^--$' | sort | uniq -c
fi

# The test that stops and starts the real server through its service in
# wine's service control manager: the service's stop is refused there so
# far ("Не удается остановить сервис"), so it runs only when asked for
# (KORVEL_WINE_SERVICE_TEST=1) until that is mended.
if [ "${KORVEL_WINE_SERVICE_TEST:-0}" = 1 ]; then
  # The server's service, registered for the test that stops and starts the
  # real server through it (alone: every other database test would fail
  # meanwhile). The service starts at once and reports running, as the
  # server is.
  "$WINE" sc delete FirebirdServerPelkora >/dev/null 2>&1 || true
  "$WINE" sc create FirebirdServerPelkora start= demand \
    binpath= "\"Z:${bridge//\//\\}\\service\\firebird_service.exe\" $control" >/dev/null
  "$WINE" net start FirebirdServerPelkora </dev/null >/dev/null 2>&1
  ctest --test-dir "$build" --output-on-failure --timeout 600 \
    -R '^(korvel_dbservice_server_tests|FirebirdRequired\..*)$' || failed=1
  "$WINE" sc delete FirebirdServerPelkora >/dev/null 2>&1 || true
  tools/ci/firebird-test-server.sh start >/dev/null
fi
echo "Windows x86_64 build: $((built - started)) s; tests under 64-bit wine: $(($(date +%s) - built)) s."
exit "$failed"
