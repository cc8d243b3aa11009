#!/usr/bin/env bash
# Builds the package fuzzers with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), makes seed corpora with the office's tools
# and runs each fuzzer for the given number of seconds (default 180).
# Usage: fuzz/run_package_fuzzers.sh [SECONDS] [FUZZER...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -eq 0 ] && fuzzers=(signature_fuzzer zip_fuzzer manifest_fuzzer)

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j2 --target korvel-tool
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
for f in "${fuzzers[@]}"; do cmake --build build-fuzz -j2 --target "$f"; done

tool=$(pwd)/build/tools/korvel-tool
work=$(mktemp -d /dev/shm/korvel-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" keygen "$work/key.pem" "$work/key.pub" >/dev/null

# A small payload, packed by Info-ZIP's zip and Python's zipfile.
mkdir -p "$work/payload/Scripts/Numbers" "$work/seeds/signature" "$work/seeds/zip" "$work/seeds/manifest"
printf 'select 1 from rdb$database;\r\n' >"$work/payload/Scripts/Numbers/1521.sql"
printf 'abc' >"$work/payload/a.txt"
printf '<?xml version="1.0"?>\r\n<PACKAGE TYPE="41" PRED_ID="1" TO="5" OLD_VERNO="1520" NEW_VERNO="1521">\r\n<FILES><FILE NAME="a.txt" SIZE="3"/><FILE NAME="Scripts\\Numbers\\1521.sql" SIZE="29"/></FILES>\r\n<MODULES><MODULE ID="2"/></MODULES>\r\n</PACKAGE>\r\n' \
  >"$work/payload/contents.xml"
(cd "$work/payload" && zip -q -r "$work/infozip.zip" .)
python3 - "$work/payload" "$work/python.zip" <<'PY'
import os, sys, zipfile
root, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            z.write(p, os.path.relpath(p, root).replace(os.sep, '\\'))
PY
for z in infozip python; do
  cp "$work/$z.zip" "$work/seeds/signature/$z-unsigned"
  cp "$work/$z.zip" "$work/$z.upd"
  "$tool" sign "$work/key.pem" "$work/$z.upd" >/dev/null
  cp "$work/$z.upd" "$work/seeds/signature/$z-signed"
  { printf '\0'; cat "$work/$z.zip"; } >"$work/seeds/zip/$z-raw"
  { printf '\0'; cat "$work/$z.upd"; } >"$work/seeds/zip/$z-trailer"
done
printf '<?xml version="1.0"?>\r\n<PACKET TYPE="40">\r\n</PACKET>\r\n' >"$work/text.xml"
"$tool" sign "$work/key.pem" "$work/text.xml" >/dev/null
cp "$work/text.xml" "$work/seeds/signature/text-signed"
{ printf 'MZ'; head -c 300 /dev/zero; } >"$work/prog.exe"
"$tool" sign "$work/key.pem" "$work/prog.exe" >/dev/null
cp "$work/prog.exe" "$work/seeds/signature/exe-signed"
printf '\001\005a.txt\000\003abc\011b\\..\\c\002\002xy' >"$work/seeds/zip/structured"
cp "$work/payload/contents.xml" "$work/seeds/manifest/contents.xml"

export KORVEL_FUZZ_PUBKEY="$work/key.pub"
export TMPDIR="$work"
for f in "${fuzzers[@]}"; do
  corpus="$work/corpus-$f"
  mkdir -p "$corpus"
  seeds="$work/seeds/${f%_fuzzer}"
  echo "== $f for ${seconds}s"
  build-fuzz/fuzz/"$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" "$seeds" 2>&1 | grep -E "^(stat::|==|SUMMARY|Done|INFO: Seed)|ERROR|crash-|leak" || true
done
