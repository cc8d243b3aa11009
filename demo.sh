#!/usr/bin/env bash
# Installs what is missing, builds, makes a sample installation and runs the
# utility's main job on it, then shows its run log.
set -euo pipefail
cd "$(dirname "$0")"

tools/ci/install-deps.sh $(grep -v '^#' tools/ci/build-deps.txt)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Korvel korvel-tool

demo=${KORVEL_DEMO_DIR:-/tmp/korvel-demo}
rm -rf "$demo"
mkdir -p "$demo/Korvel" "$demo/Work/Distrib" "$demo/Work/Apteka" "$demo/In" "$demo/Out"
cp build/src/run/Korvel "$demo/Korvel/"
touch "$demo/Work/Distrib/001520.ver"
cat > "$demo/Korvel/Korvel.ini" <<INI
[Path]
WorkDir=$demo/Work
DB=localhost:$demo/db/orvdb.fdb
InDir=$demo/In
OutDir=$demo/Out
Modules=2;5
Classic=0
INI

echo "== Sample installation in $demo"
echo "== Running: Korvel /OUTPUT"
"$demo/Korvel/Korvel" /OUTPUT
echo
echo "== Run log $(ls "$demo"/Korvel/KorvelLog/*.log) (Windows-1251, shown as UTF-8):"
iconv -f CP1251 -t UTF-8 "$demo"/Korvel/KorvelLog/*.log
