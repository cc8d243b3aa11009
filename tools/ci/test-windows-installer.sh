#!/usr/bin/env bash
# The Windows installer under wine: cpack -G NSIS in the Windows build, a
# silent installation into a wine prefix of its own, the files, Korvel.ini,
# the key, the version marker and the directories it makes, the task's
# command line as the installer passed it (wine has no task scheduler to
# ask), a refused installation without the software version, a second
# installation that keeps what is there, a run of the installed Korvel.exe
# and the uninstallation, which leaves the data.
# Usage: tools/ci/test-windows-installer.sh [BUILD]   (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build-win}" && pwd)

tools/ci/install-deps.sh nsis wine wine64
cmake --build "$build" -j2 --target Korvel korvel-tool
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
installer=$build/Korvel-${version}-win32.exe
rm -f "$build"/Korvel-*-win32.exe
(cd "$build" && cpack -G NSIS >/dev/null)
[ -f "$installer" ] || { echo "no $installer after cpack -G NSIS"; exit 1; }

fail() {
  echo "test-windows-installer: $*" >&2
  exit 1
}

export WINEPREFIX=$build/installer-prefix WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
c=$WINEPREFIX/drive_c
mkdir -p "$c/office"
echo "the office's public key" > "$c/office/Korvel.pub"

# Through a batch file, so that the installer gets its command line as
# typed at a Windows prompt (a value with "/" in quotes).
run_installer() {
  printf '@%s /S %s\r\n@exit /b %%errorlevel%%\r\n' "$(winepath -w "$installer")" "$*" > "$c/korvel-install.bat"
  status=0
  wine cmd /c 'C:\korvel-install.bat' </dev/null >/dev/null 2>&1 || status=$?
}
settings='/WorkDir=C:\OrvDistrib /DB="127.0.0.1/3050:C:\db\orv db.fdb" /InDir=C:\Exchange\In /OutDir=C:\Exchange\Out /Modules=2;5 /Classic=0'

# Without the software version, and no marker to keep, nothing is written.
run_installer "$settings" /D=C:\\Korvel
[ "$status" -eq 2 ] || fail "an installation without /Version ended with $status, not 2"
[ ! -e "$c/Korvel" ] || fail "a refused installation wrote C:\\Korvel"

run_installer "$settings" '/Key=C:\office\Korvel.pub /Version=1520 /D=C:\Korvel'
[ "$status" -eq 0 ] || fail "the silent installation ended with $status"
for file in Korvel/Korvel.exe Korvel/korvel-tool.exe Korvel/Uninstall-Korvel.exe Korvel/Korvel.pub \
  OrvDistrib/Distrib/001520.ver; do
  [ -f "$c/$file" ] || fail "no C:\\$file after the installation"
done
for directory in OrvDistrib/Apteka Exchange/In Exchange/Out; do
  [ -d "$c/$directory" ] || fail "no directory C:\\$directory after the installation"
done
ini=$(tr -d '\r' < "$c/Korvel/Korvel.ini")
expected='[Path]
WorkDir=C:\OrvDistrib
DB=127.0.0.1/3050:C:\db\orv db.fdb
InDir=C:\Exchange\In
OutDir=C:\Exchange\Out
Modules=2;5
Classic=0'
[ "$ini" = "$expected" ] || fail "Korvel.ini is not as given: $ini"
report=$(tr -d '\r' < "$c/Korvel/Korvel-install.log")
task='schtasks /Create /F /TN "Korvel" /TR "\"C:\Korvel\Korvel.exe\"" /SC HOURLY /RU SYSTEM /RL HIGHEST'
grep -qF "task: $task" <<<"$report" || fail "the task was not registered as the README says: $report"

# A second installation keeps the configuration, the key and the marker.
printf '; the administrator'"'"'s own line\r\n' >> "$c/Korvel/Korvel.ini"
cp "$c/Korvel/Korvel.ini" "$build/installer-ini.kept"
run_installer '/WorkDir=C:\Elsewhere /DB=x:y /InDir=C:\a /OutDir=C:\b /Modules=2 /Version=1600 /D=C:\Korvel'
[ "$status" -eq 0 ] || fail "the second installation ended with $status"
cmp -s "$c/Korvel/Korvel.ini" "$build/installer-ini.kept" || fail "the second installation changed Korvel.ini"
rm -f "$build/installer-ini.kept"
[ ! -e "$c/OrvDistrib/Distrib/001600.ver" ] || fail "the second installation added a version marker"
[ ! -e "$c/Elsewhere" ] || fail "the second installation used its options over the kept Korvel.ini"

# The installed utility runs with that configuration. Wine has no Windows
# Firebird client, so the run ends at the database and writes no packet;
# its log shows that it read what the installer wrote.
wine 'C:\Korvel\Korvel.exe' /Request </dev/null >/dev/null 2>&1 || true
log=$(cat "$c"/Korvel/KorvelLog/*.log 2>/dev/null | iconv -f CP1251 -t UTF-8 | tr -d '\r')
grep -q 'Команда запуска: .*/Request' <<<"$log" || fail "the installed Korvel.exe /Request did not run: $log"
grep -q 'БД 127.0.0.1/3050:C:\\db\\orv db.fdb' <<<"$log" || fail "the run did not read the installed Korvel.ini: $log"
[ "$(wine 'C:\Korvel\Korvel.exe' /VERSION </dev/null 2>/dev/null | tr -d '\r')" = "$version" ] ||
  fail "the installed Korvel.exe /VERSION does not say $version"

# The uninstaller takes the task and its own files; the data stays, and
# it says so.
wine 'C:\Korvel\Uninstall-Korvel.exe' /S '_?=C:\Korvel' </dev/null >/dev/null 2>&1 || true
for gone in Korvel.exe korvel-tool.exe Korvel-install.log; do
  [ ! -e "$c/Korvel/$gone" ] || fail "the uninstallation left C:\\Korvel\\$gone"
done
for kept in Korvel/Korvel.ini Korvel/Korvel.pub Korvel/KorvelLog OrvDistrib/Distrib/001520.ver Exchange/In; do
  [ -e "$c/$kept" ] || fail "the uninstallation took C:\\$kept"
done
grep -q 'Korvel.ini' "$c/Korvel/Korvel-uninstall.log" || fail "the uninstallation did not say what it left"
echo "test-windows-installer: $(basename "$installer"): installed silently, kept what was there, ran, uninstalled"
