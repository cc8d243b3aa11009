#!/bin/sh
# Registers the test server of tools/ci/firebird-test-server.sh under the
# service name the utility stops and starts (FirebirdServerPelkora), as an
# init script /etc/init.d/FirebirdServerPelkora (this machine's tests run
# without systemd): start, stop and status go to the test server's script,
# status with the LSB codes (0 running, 3 stopped).
# Usage: tools/ci/register-firebird-service.sh   (needs root)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
script=/etc/init.d/FirebirdServerPelkora
[ "$(id -u)" -eq 0 ] || { echo "register-firebird-service: must run as root" >&2; exit 1; }
tmp=$(mktemp /etc/init.d/.FirebirdServerPelkora.XXXXXX)
cat > "$tmp" <<SCRIPT
#!/bin/sh
### BEGIN INIT INFO
# Provides:          FirebirdServerPelkora
# Short-Description: Korvel's Firebird test server
### END INIT INFO
# Written by tools/ci/register-firebird-service.sh.
DAEMON=/usr/sbin/fbguard
SERVER='$root/tools/ci/firebird-test-server.sh'
case "\${1:-}" in
  start) exec "\$SERVER" start ;;
  stop) exec "\$SERVER" stop ;;
  status) [ "\$("\$SERVER" status)" = down ] && exit 3; exit 0 ;;
  *) echo "Usage: \$0 start|stop|status" >&2; exit 2 ;;
esac
SCRIPT
chmod 755 "$tmp"
mv -f "$tmp" "$script"
echo "register-firebird-service: $script -> $root/tools/ci/firebird-test-server.sh"
