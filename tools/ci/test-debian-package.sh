#!/usr/bin/env bash
# Makes the Debian package of a Linux build (cpack -G DEB), checks it with
# lintian, and installs it on this machine as an administrator would
# (apt-get install ./korvel_*.deb): korvel-tool --version, the executable
# placed in /var/lib/korvel, one run of it on a sample installation (its
# database on the Firebird test server), the doctor without --dir, an
# upgrade that keeps a self-updated build and replaces an older one, then
# remove and purge, which leave the installation's files.
# Usage: tools/ci/test-debian-package.sh [BUILD]   (default: build)
# Needs root, and a machine without an installation of its own: exit code
# 77 (skipped) otherwise.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build}" && pwd)
dir=/var/lib/korvel
own_mark=$dir/.made-by-test-debian-package

if [ "$(id -u)" -ne 0 ]; then
  echo "test-debian-package: needs root to install the package; skipped"
  exit 77
fi
if dpkg-query -W -f='${Status}' korvel 2>/dev/null | grep -q 'ok installed'; then
  echo "test-debian-package: korvel is installed on this machine; not touched, skipped"
  exit 77
fi
if [ -e "$dir" ] && [ ! -e "$own_mark" ]; then
  echo "test-debian-package: $dir exists and is not this test's; skipped"
  exit 77
fi
rm -rf "$dir"

tools/ci/install-deps.sh lintian dpkg-dev
cmake --build "$build" -j2 --target Korvel korvel-tool
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/korvel_${version}_$(dpkg --print-architecture).deb
rm -f "$build"/korvel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
[ -f "$deb" ] || { echo "no $deb after cpack -G DEB"; ls "$build"/*.deb; exit 1; }

fail() {
  echo "test-debian-package: $*" >&2
  exit 1
}

# lintian: no error (warnings and notes are shown).
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors on $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for file in ./usr/lib/korvel/Korvel ./usr/bin/korvel-tool ./lib/systemd/system/korvel.service \
  ./lib/systemd/system/korvel.timer ./usr/share/doc/korvel/README.md ./usr/share/doc/korvel/Korvel.ini.sample \
  ./usr/share/doc/korvel/copyright; do
  grep -qx "$file" <<<"$contents" || fail "the package lacks $file"
done
if grep -q '^\./opt\|^\./var' <<<"$contents"; then fail "the package ships files in /opt or /var"; fi
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libfbclient2 libc6 libzip; do
  grep -q "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done

sample=$(mktemp -d)
cleanup() {
  apt-get purge -y -qq korvel >/dev/null 2>&1 || true
  rm -rf "$dir" "$sample"
}
trap cleanup EXIT
install_package() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" "$deb" 2>&1
}

# A first installation without a configuration: the executable is placed,
# the timer is not enabled, and the package says what to put where.
out=$(install_package)
touch "$own_mark"
grep -q "$dir/Korvel.ini *the configuration" <<<"$out" || fail "no word of Korvel.ini at installation: $out"
cmp -s /usr/lib/korvel/Korvel "$dir/Korvel" || fail "$dir/Korvel is not the packaged build"
[ "$(korvel-tool --version)" = "korvel-tool $version" ] || fail "korvel-tool --version says $(korvel-tool --version)"
[ "$("$dir/Korvel" /VERSION)" = "$version" ] || fail "$dir/Korvel /VERSION says $("$dir/Korvel" /VERSION)"
if [ -e /etc/systemd/system/timers.target.wants/korvel.timer ]; then fail "the timer was enabled without a configuration"; fi

# One run on a sample installation; another test's run may hold the
# machine-wide lock for a moment.
tools/ci/make-sample-installation.sh "$sample" >/dev/null
cp "$sample/Korvel/Korvel.ini" "$dir/"
for _ in $(seq 1 30); do
  "$dir/Korvel" || fail "$dir/Korvel ended with $?"
  if [ -f "$sample/Out/0012005.UPR" ]; then break; fi
  sleep 3
done
grep -qa '<STATUS>OK</STATUS>' "$sample/Out/0012005.UPR" ||
  fail "the run wrote no packet with STATUS OK: $(iconv -f CP1251 -t UTF-8 "$dir"/KorvelLog/*.log | tail -n 20)"
doctor=$(cd / && { korvel-tool doctor 2>&1 || true; })
grep -q "ok *the utility $dir/Korvel" <<<"$doctor" || fail "korvel-tool doctor did not examine $dir: $doctor"

# Upgrades: a self-updated build (one that knows /VERSION and is newer) is
# kept; an older build without the marker is replaced and kept as .old.
printf '#!/bin/sh\n# Korvel-knows-switch:/VERSION\necho 99.0.0.0\n' > "$dir/Korvel"
chmod 0755 "$dir/Korvel"
newer=$(cat "$dir/Korvel")
install_package --reinstall >/dev/null
[ "$(cat "$dir/Korvel")" = "$newer" ] || fail "the upgrade replaced a newer self-updated build"
printf 'an older build\n' > "$dir/Korvel"
install_package --reinstall >/dev/null
cmp -s /usr/lib/korvel/Korvel "$dir/Korvel" || fail "the upgrade kept an older build"
[ "$(cat "$dir/Korvel.old")" = "an older build" ] || fail "the replaced build is not kept as Korvel.old"

# Remove and purge leave the administrator's files and say so.
out=$(DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq korvel 2>&1)
grep -q "$dir is left as it is" <<<"$out" || fail "remove did not say what it left: $out"
[ ! -e /usr/bin/korvel-tool ] || fail "remove left /usr/bin/korvel-tool"
out=$(DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq korvel 2>&1)
grep -q "$dir is left as it is" <<<"$out" || fail "purge did not say what it left: $out"
for kept in Korvel.ini Korvel KorvelLog; do
  [ -e "$dir/$kept" ] || fail "removing the package took $dir/$kept"
done
echo "test-debian-package: $(basename "$deb"): lintian without errors; installed, ran, upgraded, removed, purged"
