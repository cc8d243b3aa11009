#!/bin/sh
# Checks the systemd units of tools/linux (korvel.service, korvel.timer) with
# systemd-analyze verify, the given executable standing in for
# /var/lib/korvel/Korvel (verify insists that ExecStart's program exists).
# Any complaint fails the check; a deliberately broken copy must fail too.
# Exit code 77 (skipped) when systemd-analyze is not installed.
set -eu
exe=${1:?usage: verify-systemd-units.sh EXECUTABLE}
units=$(cd "$(dirname "$0")/../linux" && pwd)
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze not found (Debian package systemd): the units in tools/linux are not checked"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
exe_dir=$(dirname "$exe")
for unit in korvel.service korvel.timer; do
  sed -e "s#^ExecStart=/var/lib/korvel/Korvel#ExecStart=$exe#" \
      -e "s#^WorkingDirectory=/var/lib/korvel#WorkingDirectory=$exe_dir#" "$units/$unit" > "$dir/$unit"
done
grep -q "^ExecStart=$exe\$" "$dir/korvel.service" || { echo "korvel.service: no ExecStart=/var/lib/korvel/Korvel"; exit 1; }

check() {
  # verify reads the units from their directory; no unit of the machine's own is touched.
  (cd "$dir" && SYSTEMD_LOG_COLOR=0 systemd-analyze verify ./korvel.service ./korvel.timer) > "$dir/out" 2>&1
}
if ! check || [ -s "$dir/out" ]; then
  echo "systemd-analyze verify complains about tools/linux/korvel.service or korvel.timer:"
  cat "$dir/out"
  exit 1
fi

# The check itself must be able to fail.
sed -i 's/^Type=oneshot/Type=oneshoot/' "$dir/korvel.service"
if check && [ ! -s "$dir/out" ]; then
  echo "systemd-analyze verify accepted a broken unit: the check proves nothing here"
  exit 1
fi
echo "korvel.service and korvel.timer verified"
