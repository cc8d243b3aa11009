#!/usr/bin/env bash
# Makes a signed package of about 1 GB (a few large random files and many
# small ones, packed by korvel-tool pack), then, in the same run and on the
# same file, times md5sum, unzip and the utility's intake of the package
# (signature check, extraction, manifest check), with each one's peak
# memory (GNU time's maximum resident set), and compares the signature
# check alone with md5sum (best of three each; the goal is within 1.1x).
# Usage: bench/run_package_bench.sh [SIZE_MB] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mb=${1:-1024}
work=${2:-$(mktemp -d /var/tmp/korvel-bench.XXXXXX)}
trap 'rm -rf "$work"' EXIT

# The benchmark directory's CMake also builds the XML benchmark (pugixml).
tools/ci/install-deps.sh libpugixml-dev unzip time
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_BENCH=ON -DKORVEL_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target package_bench korvel-tool
tool=build-bench/tools/korvel-tool
bench=build-bench/bench/package_bench

echo "== Making a package of about ${size_mb} MB in $work"
python3 - "$work/payload" "$size_mb" <<'PY'
import os, sys
root, size_mb = sys.argv[1], int(sys.argv[2])
os.makedirs(os.path.join(root, "bin"), exist_ok=True)
os.makedirs(os.path.join(root, "Scripts", "Numbers"), exist_ok=True)
big = (size_mb - 40) // 8 * 1024 * 1024
for i in range(1, 9):
    with open(os.path.join(root, "bin", "part%d.bin" % i), "wb") as f:
        left = big
        while left > 0:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n
for i in range(1, 2001):
    line = ("insert into T values (%d, 'row of script %d');\r\n" % (i, i)).encode()
    with open(os.path.join(root, "Scripts", "Numbers", "%d.sql" % i), "wb") as f:
        f.write((line * (20000 // len(line) + 1))[:20000])
PY
measure() {
  local label=$1
  shift
  /usr/bin/time -f "$label %e s elapsed, %M kB peak" "$@" 2>&1 >/dev/null | tail -1
}
"$tool" keygen "$work/key.pem" "$work/key.pub" >/dev/null
mkdir -p "$work/In"
measure "korvel-tool pack" "$tool" pack --key "$work/key.pem" --type 41 --pred 1 --to 5 --old 1520 --new 1521 --module 2 \
  "$work/payload" "$work/In/package.upd"
pkg="$work/In/package.upd"
ls -l "$pkg" | awk '{printf "package: %.0f MB\n", $5 / 1048576}'
cat "$pkg" >/dev/null  # the same warm cache for everyone
echo "== Same file, same run"
measure "md5sum          " md5sum "$pkg"
rm -rf "$work/unzip"
measure "unzip -o        " unzip -q -o "$pkg" -d "$work/unzip" || true
rm -rf "$work/unzip"
measure "package_bench   " "$bench" "$work/key.pub" "$pkg" "$work/out"
echo "== Signature check alone against md5sum (best of 3, warm cache)"
# Elapsed time, and CPU time (user + system), which other load on the
# machine disturbs less.
best() {
  local runs=()
  for _ in 1 2 3; do
    runs+=("$( { /usr/bin/time -f "%e %U %S" "$@" >/dev/null; } 2>&1 | tail -1)")
  done
  printf '%s\n' "${runs[@]}" | python3 -c "
import sys
rows = [list(map(float, l.split())) for l in sys.stdin if l.strip()]
print(min(r[0] for r in rows), min(r[1] + r[2] for r in rows))"
}
read -r md5_s md5_cpu < <(best md5sum "$pkg")
read -r check_s check_cpu < <(best "$bench" "$work/key.pub" "$pkg")
python3 -c "
print('md5sum          %.2f s elapsed, %.2f s CPU' % ($md5_s, $md5_cpu))
print('signature check %.2f s elapsed, %.2f s CPU' % ($check_s, $check_cpu))
print('ratio           %.3f elapsed, %.3f CPU (goal: at most 1.1)' % ($check_s / $md5_s, $check_cpu / $md5_cpu))"
echo "== package_bench's own report"
rm -rf "$work/out"
"$bench" "$work/key.pub" "$pkg" "$work/out"
