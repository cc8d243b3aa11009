#!/usr/bin/env bash
# Installs what is missing, builds, makes a sample installation (pharmacy 5
# of chain 12, with its database on a local Firebird server) and runs the
# utility's main job on it: the Request mode, then a full run. Shows the run
# log and the request packet.
set -euo pipefail
cd "$(dirname "$0")"

tools/ci/install-deps.sh $(grep -v '^#' tools/ci/build-deps.txt)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Korvel korvel-tool

# The database server: started here unless one already runs.
started=""
if [ "$(tools/ci/firebird-test-server.sh status)" != up ]; then
  tools/ci/firebird-test-server.sh start
  started=1
fi
cleanup() { [ -n "$started" ] && tools/ci/firebird-test-server.sh stop || true; }
trap cleanup EXIT
# The utility checks the database through the server's service
# (FirebirdServerPelkora), so the server is registered under that name.
tools/ci/register-firebird-service.sh >/dev/null

demo=${KORVEL_DEMO_DIR:-/tmp/korvel-demo}
rm -rf "$demo"
tools/ci/make-sample-installation.sh "$demo" build/src/run/Korvel >/dev/null
echo "== Sample installation in $demo"
echo "== Korvel.ini:"
cat "$demo/Korvel/Korvel.ini"

echo
echo "== Running: Korvel /Request /OUTPUT"
"$demo/Korvel/Korvel" /Request /OUTPUT
echo
echo "== Running: Korvel /OUTPUT (the full run)"
"$demo/Korvel/Korvel" /OUTPUT

echo
echo "== Run log $(ls "$demo"/Korvel/KorvelLog/*.log) (Windows-1251, shown as UTF-8):"
iconv -f CP1251 -t UTF-8 "$demo"/Korvel/KorvelLog/*.log
echo
echo "== Request packet $demo/Out/0012005.UPR (Windows-1251, shown as UTF-8):"
iconv -f CP1251 -t UTF-8 "$demo/Out/0012005.UPR"
