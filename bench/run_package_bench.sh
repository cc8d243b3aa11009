#!/usr/bin/env bash
# The package intake against the peer pipeline on the same file, in the
# same run: a signed package of about 218 MB (8 random files of 26 MB and
# 2,000 scripts, packed by korvel-tool pack), taken in
#   1. by the intake alone (package_bench: the check's one read into the
#      private copy, extraction, one flush, manifest), and
#   2. by a whole workstation run (Korvel /POS on a sample installation,
#      tools/ci/make-sample-installation.sh, Firebird test server),
# each against `openssl dgst -sha256` + `bsdtar -x` + `sync` on the same
# package, in 5 alternating pairs; prints each pair's ratio, their medians
# (goals: intake at most 1.0, /POS run at most 1.2) and the intake's peak
# memory (goal: at most 64 MB).
# Usage: [BENCH_BUILD=DIR] bench/run_package_bench.sh [PAIRS] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-5}
work=${2:-$(mktemp -d /var/tmp/korvel-bench.XXXXXX)}
trap 'rm -rf "$work"' EXIT

# bsdtar is the peer's extractor (Debian's libarchive-tools); pugixml is for
# the XML benchmark the same CMake directory builds.
tools/ci/install-deps.sh libarchive-tools libpugixml-dev time
# BENCH_BUILD names an existing build directory to add the benchmarks to.
build=${BENCH_BUILD:-build-bench}
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DKORVEL_BENCH=ON >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_BENCH=ON -DKORVEL_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target package_bench korvel-tool Korvel
tool=$(pwd)/$build/tools/korvel-tool
bench=$(pwd)/$build/bench/package_bench
korvel=$(pwd)/$build/src/run/Korvel

echo "== Making a package of 8 x 26 MB random files and 2,000 scripts in $work"
python3 - "$work/payload" <<'PY'
import os, sys
root = sys.argv[1]
os.makedirs(os.path.join(root, "bin"), exist_ok=True)
os.makedirs(os.path.join(root, "Scripts", "Numbers"), exist_ok=True)
for i in range(1, 9):
    with open(os.path.join(root, "bin", "part%d.bin" % i), "wb") as f:
        for _ in range(26):
            f.write(os.urandom(1 << 20))
for i in range(1, 2001):
    line = ("insert into T values (%d, 'row of script %d');\r\n" % (i, i)).encode()
    with open(os.path.join(root, "Scripts", "Numbers", "%d.sql" % i), "wb") as f:
        f.write((line * (5000 // len(line) + 1))[:5000])
PY
"$tool" keygen "$work/key.pem" "$work/key.pub" >/dev/null
mkdir -p "$work/In" "$work/TMP"
# Chain 1, pharmacy 5 for package_bench; chain 12 for the sample installation.
"$tool" pack --key "$work/key.pem" --type 41 --pred 1 --to 5 --old 1520 --new 1521 "$work/payload" \
  "$work/In/package.upd" >/dev/null
pkg="$work/In/package.upd"
tools/ci/firebird-test-server.sh start >/dev/null
inst="$work/inst"
# The database server's own account must reach the sample database.
chmod a+x "$work"
tools/ci/make-sample-installation.sh "$inst" "$korvel" >/dev/null
cp "$work/key.pub" "$inst/Korvel/Korvel.pub"
# The workstation's own database, opened embedded: a copy of the sample's.
mkdir -p "$inst/Korvel/DB"
cp "$inst/db/orvdb.fdb" "$inst/Korvel/DB/orvpos.gdb"
"$tool" pack --key "$work/key.pem" --type 41 --pred 12 --to 5 --old 1520 --new 1521 "$work/payload" \
  "$inst/pos.upd" >/dev/null
ls -l "$pkg" | awk '{printf "package: %.0f MB, ", $5 / 1000000}'
find "$work/payload" -type f | wc -l | awk '{print $1 " files"}'

# Elapsed seconds of a command; its peak memory (kB) goes to $work/peak.
timed() {
  /usr/bin/time -o "$work/time" -f "%e %M" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; exit 1; }
  read -r seconds kb <"$work/time"
  echo "$kb" >"$work/peak"
  echo "$seconds"
}
# The outputs of earlier runs are moved aside, not deleted, until the end:
# on ext4 without a journal a new file's inode is searched past every one
# freed in the last minute, so deleting the last run's 2,000 files before
# a run would slow whichever of the two contenders met more of them.
set_aside() {
  mkdir -p "$work/spent"
  for path in "$@"; do
    [ -e "$path" ] || continue
    mv "$path" "$(mktemp -d "$work/spent/XXXXXX")/"
  done
}
# Every timed run starts from the package in the cache: the intake drops
# the pages of a package it has read, the peer's tools keep them.
peer() {
  set_aside "$work/peer" && mkdir "$work/peer"
  cat "$1" >/dev/null
  sync
  timed sh -c "openssl dgst -sha256 '$1' >/dev/null && bsdtar -x -f '$1' -C '$work/peer' && sync"
}
intake() {
  set_aside "$work/TMP" && mkdir "$work/TMP"
  cat "$pkg" >/dev/null
  sync
  timed "$bench" "$work/key.pub" "$pkg" "$work/TMP"
}
pos_run() {
  # The installation as it was: Distrib at 1520, the package in the inbox.
  set_aside "$inst/Work/Distrib.run" "$inst/Work/TMP" "$inst/Out"/*
  find "$inst/Work/Distrib" -mindepth 1 -maxdepth 1 ! -name Firebird ! -name 001520.ver -print0 |
    while IFS= read -r -d '' path; do set_aside "$path"; done
  touch "$inst/Work/Distrib/001520.ver"
  cp "$inst/pos.upd" "$inst/In/pos.upd"
  cat "$inst/In/pos.upd" >/dev/null
  sync
  # A run that finds another instance's lock (KorvelStarted: tests running
  # on the same machine) does nothing; its time does not count.
  local seconds
  for _ in $(seq 60); do
    seconds=$(timed "$inst/Korvel/Korvel" /POS)
    [ -f "$inst/Work/Distrib/001521.ver" ] && { echo "$seconds"; return; }
    sleep 1
  done
  echo "the /POS run did not take the package in; its log:" >&2
  iconv -f CP1251 -t UTF-8 "$inst"/Korvel/KorvelLog/*.log | tail -20 >&2
  exit 1
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
intake_ratios=() pos_ratios=() peaks=()
# The intake's pairs first, then the whole runs': a run empties its TMP
# as the utility does, and the 2,000 inodes it frees would slow the
# extractions of the next minute, the peer's or the intake's depending on
# where the file system places their directories.
echo "== $pairs pairs of the intake alone, alternating (seconds)"
for i in $(seq "$pairs"); do
  p1=$(peer "$pkg")
  t=$(intake)
  peak_kb=$(cat "$work/peak")
  peaks+=("$peak_kb")
  intake_ratios+=("$(python3 -c "print('%.3f' % ($t / $p1))")")
  echo "pair $i: peer $p1, intake $t (${intake_ratios[-1]}x, peak $((peak_kb / 1024)) MB)"
done
echo "== $pairs pairs of a whole run, alternating (seconds)"
for i in $(seq "$pairs"); do
  p2=$(peer "$inst/pos.upd")
  r=$(pos_run)
  pos_ratios+=("$(python3 -c "print('%.3f' % ($r / $p2))")")
  echo "pair $i: peer $p2, Korvel /POS $r (${pos_ratios[-1]}x)"
done
echo "== Medians"
echo "intake alone / (openssl dgst -sha256 + bsdtar -x + sync): $(printf '%s\n' "${intake_ratios[@]}" | median)x (goal: at most 1.0)"
echo "Korvel /POS   / (openssl dgst -sha256 + bsdtar -x + sync): $(printf '%s\n' "${pos_ratios[@]}" | median)x (goal: at most 1.2)"
echo "intake peak memory: $(( $(printf '%s\n' "${peaks[@]}" | sort -g | tail -1) / 1024 )) MB (goal: at most 64)"
