#!/bin/sh
# Starts or stops the Firebird 3 server the test suite runs against:
# Debian's firebird3.0-server on loopback (127.0.0.1, port 3050), user
# SYSDBA with the password pinecrest, run as the firebird account without
# systemd (the guardian fbguard started directly).
#
#   tools/ci/firebird-test-server.sh start   install when missing, set the
#                                            password, start, wait until it
#                                            accepts connections
#   tools/ci/firebird-test-server.sh stop    stop the server this script
#                                            started (a server it found
#                                            running is left alone)
#   tools/ci/firebird-test-server.sh status  prints up, login or down
#
# Needs root. Tests reach the server as "127.0.0.1/3050:" + a path; the
# directories they create databases in must be writable by the firebird
# account. The SYSDBA password is set in the server's security database
# (security3.fdb) through the embedded engine while the server is stopped,
# and copied to /etc/firebird/3.0/SYSDBA.password as Debian keeps it.
set -eu

PORT=3050
PASSWORD=pinecrest
FB_ACCOUNT=firebird
FBGUARD=/usr/sbin/fbguard
SEC_DB=/var/lib/firebird/3.0/system/security3.fdb
PASSWORD_FILE=/etc/firebird/3.0/SYSDBA.password
RUN_DIR=/var/run/firebird3.0
PIDFILE=$RUN_DIR/firebird.pid
# Written when this script started the server: "guardian-pid server-pid".
STATE=$RUN_DIR/korvel-test-server.pids

say() { echo "firebird-test-server: $*"; }
fail() { say "$*" >&2; exit 1; }

# up: the server answers and SYSDBA/pinecrest logs in (the probe database
# does not exist, so a running server answers with a file error); login: a
# server answers but refuses the password; down: nothing answers.
probe() {
  out=$(echo "quit;" | isql-fb -q -user SYSDBA -password "$PASSWORD" \
        "127.0.0.1/$PORT:/nonexistent/korvel-probe.fdb" 2>&1 || true)
  case "$out" in
    *"I/O error"*) echo up ;;
    *"user name and password"*) echo login ;;
    *) echo down ;;
  esac
}

# Whether the server answering on the port works on this machine's files: a
# server of another chroot sharing the network answers as well, but the
# databases the tests make would land in its file system.
sees_our_files() {
  probe_db=/tmp/firebird/korvel-probe-$$.fdb
  echo "create database '127.0.0.1/$PORT:$probe_db' user 'SYSDBA' password '$PASSWORD';" \
    | isql-fb -q >/dev/null 2>&1 || true
  if [ -f "$probe_db" ]; then seen=0; else seen=1; fi
  echo "connect '127.0.0.1/$PORT:$probe_db' user 'SYSDBA' password '$PASSWORD'; drop database;" \
    | isql-fb -q >/dev/null 2>&1 || true
  rm -f "$probe_db"
  return $seen
}

install_if_missing() {
  if [ -x "$FBGUARD" ] && [ -x /usr/sbin/firebird ] && command -v isql-fb >/dev/null 2>&1; then
    return
  fi
  say "installing firebird3.0-server"
  export DEBIAN_FRONTEND=noninteractive
  echo "firebird3.0-server shared/firebird/sysdba_password/new_password password $PASSWORD" \
    | debconf-set-selections 2>/dev/null || true
  apt-get update -qq
  apt-get install -y -qq firebird3.0-server firebird3.0-utils >/dev/null
}

prepare_dirs() {
  for dir in "$RUN_DIR" /tmp/firebird; do
    if [ ! -d "$dir" ]; then
      mkdir -p "$dir"
      chown "$FB_ACCOUNT:$FB_ACCOUNT" "$dir"
      chmod 0770 "$dir"
    fi
  done
}

set_password() {
  echo "create or alter user SYSDBA password '$PASSWORD';" \
    | isql-fb -q -user SYSDBA "$SEC_DB" >/dev/null
  # The embedded engine ran as root; the server's account must keep the file.
  chown "$FB_ACCOUNT:$FB_ACCOUNT" "$SEC_DB"
  chmod 0660 "$SEC_DB"
  if [ -f "$PASSWORD_FILE" ] && grep -q '^ *ISC_PASSWORD=' "$PASSWORD_FILE"; then
    sed -i "s/^ *ISC_PASSWORD=.*/ISC_PASSWORD=\"$PASSWORD\"/" "$PASSWORD_FILE"
  fi
}

# Whether a process id (a plain positive number; "-" for none) is alive.
alive() {
  case "$1" in
    '' | - | 0 | *[!0-9]*) return 1 ;;
  esac
  kill -0 "$1" 2>/dev/null
}

# Ends the guardian first (it takes its server down with it), then the
# server if it is still there.
stop_pids() {
  guardian=$1
  server=$2
  if alive "$guardian"; then kill -TERM "$guardian" 2>/dev/null || true; fi
  i=0
  while alive "$server" && [ $i -lt 15 ]; do
    [ $i -eq 5 ] && kill -TERM "$server" 2>/dev/null || true
    sleep 1
    i=$((i + 1))
  done
  if alive "$server"; then kill -KILL "$server" 2>/dev/null || true; fi
  if alive "$guardian"; then kill -KILL "$guardian" 2>/dev/null || true; fi
}

# The guardian and server of a running Debian server, by its pid file.
running_pids() {
  server=$(cat "$PIDFILE" 2>/dev/null || true)
  guardian=""
  if alive "$server"; then guardian=$(ps -o ppid= -p "$server" | tr -d ' '); fi
  echo "${guardian:--} ${server:--}"
}

start() {
  install_if_missing
  case $(probe) in
    up)
      prepare_dirs
      sees_our_files || fail "a server answers on 127.0.0.1:$PORT but makes its files elsewhere (another chroot or container shares this network); stop it first"
      say "already running on 127.0.0.1:$PORT"
      return ;;
    login)
      # A server of this machine with another SYSDBA password: it is
      # restarted with ours.
      say "a server runs on port $PORT with another SYSDBA password; restarting it"
      stop_pids $(running_pids) ;;
  esac
  prepare_dirs
  set_password
  rm -f "$PIDFILE"
  if command -v start-stop-daemon >/dev/null 2>&1; then
    start-stop-daemon --start --quiet --chuid "$FB_ACCOUNT:$FB_ACCOUNT" --exec "$FBGUARD" -- \
      -daemon -forever -pidfile "$PIDFILE"
  else
    runuser -u "$FB_ACCOUNT" -- "$FBGUARD" -daemon -forever -pidfile "$PIDFILE"
  fi
  i=0
  while [ "$(probe)" != up ]; do
    i=$((i + 1))
    [ $i -le 60 ] || fail "the server did not answer on 127.0.0.1:$PORT within 30 seconds"
    sleep 0.5
  done
  i=0
  while [ ! -s "$PIDFILE" ] && [ $i -lt 20 ]; do sleep 0.5; i=$((i + 1)); done
  running_pids > "$STATE"
  say "running on 127.0.0.1:$PORT ($(cat "$STATE"))"
}

stop() {
  if [ ! -f "$STATE" ]; then
    say "no server started by this script"
    return
  fi
  stop_pids $(cat "$STATE")
  rm -f "$STATE"
  say "stopped"
}

[ "$(id -u)" -eq 0 ] || fail "must run as root"
case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) probe ;;
  *) fail "usage: $0 start|stop|status" ;;
esac
