#!/bin/sh
# Makes a sample installation of the utility for demonstrations: pharmacy 5
# of chain 12 at software version 1520, schema version 700, with its
# database on the Firebird test server (tools/ci/firebird-test-server.sh).
#
#   tools/ci/make-sample-installation.sh DIR [EXECUTABLE]
#
# DIR/Korvel/          the executable (copied from EXECUTABLE when given)
#                      and Korvel.ini
# DIR/Work/Distrib/    the working distribution with 001520.ver
# DIR/Work/Apteka/     the application directory
# DIR/In/, DIR/Out/    inbox and outbox; the request packet lands in
#                      DIR/Out/0012005.UPR
# DIR/db/orvdb.fdb     the pharmacy database (ORGANIZATION: 12, 5, 700, with
#                      the tables SCRIPT_LOG and PRICING_PROCS), named in
#                      Korvel.ini as 127.0.0.1/3050:DIR/db/orvdb.fdb
#
# The distribution carries the system's Firebird client library as its own
# (Distrib/Firebird/lib/libfbclient.so.2), which the first run puts beside
# the executable.
#
# An existing DIR is used as it is; an existing database is replaced.
set -eu

[ $# -ge 1 ] || { echo "usage: $0 DIR [EXECUTABLE]" >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
exe=${2:-}

PREFIX=127.0.0.1/3050:
PASSWORD=pinecrest

mkdir -p "$dir/Korvel" "$dir/Work/Distrib" "$dir/Work/Apteka" "$dir/In" "$dir/Out" "$dir/db"
touch "$dir/Work/Distrib/001520.ver"
client=$(ldconfig -p 2>/dev/null | awk '$1 == "libfbclient.so.2" { print $NF; exit }')
if [ -n "$client" ]; then
  mkdir -p "$dir/Work/Distrib/Firebird/lib"
  cp -L "$client" "$dir/Work/Distrib/Firebird/lib/libfbclient.so.2"
fi
if [ -n "$exe" ]; then cp "$exe" "$dir/Korvel/"; fi

cat > "$dir/Korvel/Korvel.ini" <<INI
[Path]
WorkDir=$dir/Work
DB=$PREFIX$dir/db/orvdb.fdb
InDir=$dir/In
OutDir=$dir/Out
Modules=2;5
Classic=0
INI

# The server runs as its own account, which must create the file and reach
# the directory.
chmod a+x "$dir"
if id firebird >/dev/null 2>&1; then chown firebird:firebird "$dir/db"; else chmod 0777 "$dir/db"; fi
rm -f "$dir/db/orvdb.fdb"
out=$(isql-fb -q -user SYSDBA -password "$PASSWORD" 2>&1 <<SQL
set echo off;
create database '$PREFIX$dir/db/orvdb.fdb' page_size 8192 default character set WIN1251;
create table ORGANIZATION (PRED_ID integer, NODE_ID integer, SYSVERNO integer);
commit;
insert into ORGANIZATION (PRED_ID, NODE_ID, SYSVERNO) values (12, 5, 700);
create table SCRIPT_LOG (SCRIPT_ID varchar(38) not null primary key, APPLIED timestamp default current_timestamp);
create table PRICING_PROCS (ID integer not null primary key, STATUS integer, SCRIPT blob sub_type text);
commit;
SQL
) || true
if [ ! -f "$dir/db/orvdb.fdb" ] || [ -n "$out" ]; then
  echo "$out" >&2
  echo "make-sample-installation: the database could not be made; is the test server running" \
       "(tools/ci/firebird-test-server.sh start)?" >&2
  exit 1
fi
echo "Sample installation in $dir (chain 12, pharmacy 5, database $PREFIX$dir/db/orvdb.fdb)"
