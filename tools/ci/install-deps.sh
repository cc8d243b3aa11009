#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# A package of another architecture (wine32:i386) adds that architecture to
# dpkg first (Debian's multiarch).
# Usage: tools/ci/install-deps.sh PACKAGE...
set -euo pipefail
missing=()
foreign=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" && continue
  missing+=("$pkg")
  case "$pkg" in *:*) foreign+=("${pkg##*:}") ;; esac
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
for arch in ${foreign[@]+"${foreign[@]}"}; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
done
export DEBIAN_FRONTEND=noninteractive
# Other builds on the machine may be installing too: wait for dpkg's lock.
apt_lock=(-o DPkg::Lock::Timeout=900)
$SUDO apt-get "${apt_lock[@]}" update -qq
$SUDO apt-get "${apt_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
