#!/usr/bin/env bash
# Installs what is missing, builds, makes a sample installation (pharmacy 5
# of chain 12 at version 1520, with its database on a local Firebird server)
# and shows the utility's main job on it: the central office makes its key
# and packs version 1521 (module 2 for a server directory, two numbered
# scripts, a new executable), the package lands in the inbox, and one full
# run applies it. Shows the run log, the deployed files, the database's
# schema version before and after, and the request packet.
set -euo pipefail
cd "$(dirname "$0")"

tools/ci/install-deps.sh $(grep -v '^#' tools/ci/build-deps.txt)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Korvel korvel-tool
tool=$(pwd)/build/tools/korvel-tool

# The database server: started here unless one already runs.
started=""
if [ "$(tools/ci/firebird-test-server.sh status)" != up ]; then
  tools/ci/firebird-test-server.sh start
  started=1
fi
cleanup() { [ -n "$started" ] && tools/ci/firebird-test-server.sh stop || true; }
trap cleanup EXIT
# The run stops and starts the database server through its service
# (FirebirdServerPelkora), so the server is registered under that name.
tools/ci/register-firebird-service.sh >/dev/null

demo=${KORVEL_DEMO_DIR:-/tmp/korvel-demo}
rm -rf "$demo"
tools/ci/make-sample-installation.sh "$demo" build/src/run/Korvel >/dev/null
db="$demo/db/orvdb.fdb"
schema() {
  echo "select 'SYSVERNO ' || SYSVERNO from ORGANIZATION;" |
    isql-fb -q -user SYSDBA -password pinecrest "127.0.0.1/3050:$db" | awk '$1 == "SYSVERNO" { print $2 }'
}
echo "== Sample installation in $demo"
echo "== Korvel.ini:"
cat "$demo/Korvel/Korvel.ini"

echo
echo "== At the central office: the key pair, and the package of version 1521"
office="$demo/office"
mkdir -p "$office/payload/bin" "$office/payload/Scripts/Numbers" "$office/payload/Utils/AutoUpdate"
"$tool" keygen "$office/office.pem" "$demo/Korvel/Korvel.pub"
# Module 2 deploys the database server's files into $demo/Server.
cat > "$office/payload/distrib.xml" <<XML
<?xml version="1.0" encoding="windows-1251"?>
<DISTRIB>
  <MODULES>
    <MODULE ID="2" Root="$demo/Server">
      <FILES>
        <DIR Source="bin" Dest="%ROOT\\bin">
          <FILE Name="firebird.conf"/>
          <FILE Name="udf.conf"/>
        </DIR>
      </FILES>
    </MODULE>
  </MODULES>
</DISTRIB>
XML
printf 'DefaultDbCachePages = 2048\r\n' > "$office/payload/bin/firebird.conf"
printf 'UdfAccess = Restrict UDF\r\n' > "$office/payload/bin/udf.conf"
printf 'create table PRICE_LIST (ID integer not null primary key, NAME varchar(80), PRICE numeric(12,2));\r\ncommit;\r\nupdate ORGANIZATION set SYSVERNO = 701;\r\ncommit;\r\n' \
  > "$office/payload/Scripts/Numbers/701.sql"
printf 'insert into PRICE_LIST values (1, '"'"'Aspirin'"'"', 12.50);\r\nupdate ORGANIZATION set SYSVERNO = 702;\r\ncommit;\r\n' \
  > "$office/payload/Scripts/Numbers/702.sql"
# The new build of the utility (here the same build: the demo shows where
# it goes).
cp build/src/run/Korvel "$office/payload/Utils/AutoUpdate/Korvel"
"$tool" pack --key "$office/office.pem" --type 41 --pred 12 --to 5 --old 1520 --new 1521 --module 2 \
  "$office/payload" "$demo/In/001521.upd"
echo "Inbox:"; ls -l "$demo/In"
echo "== Schema version (SYSVERNO) before: $(schema)"

echo
echo "== Running: Korvel (the full run, as the scheduler starts it)"
"$demo/Korvel/Korvel"

echo
echo "== Run log $(ls "$demo"/Korvel/KorvelLog/*.log) (Windows-1251, shown as UTF-8):"
iconv -f CP1251 -t UTF-8 "$demo"/Korvel/KorvelLog/*.log
echo
echo "== Deployed by module 2 into $demo/Server:"
(cd "$demo/Server" && find . -type f | sort)
echo "== The working distribution $demo/Work/Distrib:"
(cd "$demo/Work/Distrib" && find . -type f | sort)
echo "== Beside the executable (the one that ran is kept as Korvel.old):"
ls -l "$demo/Korvel" | grep -v '^total'
echo "== Inbox after the run (the applied package is deleted):"
ls -l "$demo/In" | grep -v '^total' || true
echo "== Schema version (SYSVERNO) after: $(schema)"
echo
echo "== Request packet $demo/Out/0012005.UPR (Windows-1251, shown as UTF-8):"
iconv -f CP1251 -t UTF-8 "$demo/Out/0012005.UPR"
