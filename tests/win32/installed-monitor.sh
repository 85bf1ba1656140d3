#!/usr/bin/env bash
# The installed monitor, end to end under Wine: installs the setup program silently into a new
# Wine prefix, puts the stand-in winspool beside the installed tessaroven.exe (Wine's spooler
# cannot be watched), plays a script of two printers, jobs with copies and a printer added while
# running, and checks the records written to the common data folder; then that a second start
# refuses and exits 1, that tessaroven-ctl stop ends the monitor with status 2, and that a silent
# uninstall removes the programs and keeps the records.
#
#   installed-monitor.sh SETUP.EXE FAKESPOOL.DLL
# Needs a display (scripts/test-windows gives one) for the message box of the second start.
set -euo pipefail
setup=$1
fake=$2
[ -f "$setup" ] || { echo "no installer at $setup (scripts/build-windows makes it)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tessaroven-installed.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="winspool.drv=n,b;mscoree,mshtml="
monitor=
cleanup() {
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

wineboot >/dev/null 2>&1
wineserver -p 2>/dev/null || true

# Install.
wine "$(winepath -w "$setup")" /S
c=$WINEPREFIX/drive_c
programs="$c/Program Files/Tessaroven"
data="$c/ProgramData/Tessaroven"
for f in tessaroven.exe tessaroven-ctl.exe uninstall.exe; do
  [ -f "$programs/$f" ] || fail "$f not installed"
done
[ -d "$data" ] || fail "no common data folder"
[ -f "$c/ProgramData/Microsoft/Windows/Start Menu/Programs/StartUp/Tessaroven.lnk" ] ||
  fail "no Startup shortcut"
setting=$(wine reg query 'HKLM\SOFTWARE\Tessaroven\Setting' /v DataFileDirectory | tr -d '\r')
grep -q 'C:\\ProgramData\\Tessaroven' <<<"$setting" || fail "DataFileDirectory: $setting"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessaroven' \
  /v UninstallString >/dev/null || fail "no uninstall entry"

# The spooler the monitor watches: two printers; a third appears while it runs.
cp "$fake" "$programs/winspool.drv"
script=$work/spooler.txt
# On a printer of another computer only the jobs sent from this one are this monitor's.
# (recorded under the user who runs the monitor, whatever name the spooler gives).
computer=$(wine cmd /c 'echo %COMPUTERNAME%' | tr -d '\r')
user=$(wine cmd /c 'echo %USERNAME%' | tr -d '\r')
printf '%s\n' \
  $'printer\t経理プリンタ' \
  $'printer\tLaser' \
  $'cycle\t経理プリンタ\t100' \
  $'entry\tjob\t0\t7\ttext\t経理プリンタ' \
  $'entry\tjob\t1\t7\ttext\t\\\\PC9' \
  $'entry\tjob\t3\t7\ttext\t山田' \
  $'entry\tjob\t20\t7\tnumber\t3' \
  $'entry\tjob\t21\t7\tnumber\t0' \
  $'entry\tjob\t9\t7\tcopies\t2' \
  $'cycle\t経理プリンタ\t800' \
  $'entry\tjob\t21\t7\tnumber\t3' \
  $'cycle\t経理プリンタ\t400' \
  $'entry\tprinter\t20\t0\tnumber\t0' \
  $'cycle\tLaser\t100' \
  $'entry\tjob\t0\t12\ttext\tLaser' \
  $'entry\tjob\t1\t12\ttext\t\\\\PC3' \
  $'entry\tjob\t3\t12\ttext\tsato' \
  $'entry\tjob\t20\t12\tnumber\t4' \
  $'entry\tjob\t21\t12\tnumber\t4' \
  $'entry\tjob\t9\t12\tcopies\t3' \
  $'cycle\tLaser\t400' \
  $'entry\tprinter\t20\t0\tnumber\t0' \
  $'cycle\t*\t1' \
  $'listing\t経理プリンタ' \
  $'listing\tLaser' \
  $'listing\t\\\\srv\\新しいプリンタ\t\\\\srv' \
  $'cycle\t\\\\srv\\新しいプリンタ\t100' \
  $'entry\tjob\t0\t3\ttext\t\\\\srv\\新しいプリンタ' \
  "entry"$'\t'"job"$'\t'"1"$'\t'"3"$'\t'"text"$'\t'"\\\\$computer" \
  $'entry\tjob\t3\t3\ttext\t山田' \
  $'entry\tjob\t20\t3\tnumber\t1' \
  $'entry\tjob\t21\t3\tnumber\t1' \
  $'cycle\t\\\\srv\\新しいプリンタ\t100' \
  $'entry\tjob\t0\t4\ttext\t\\\\srv\\新しいプリンタ' \
  $'entry\tjob\t1\t4\ttext\t\\\\PC9' \
  $'entry\tjob\t3\t4\ttext\t鈴木' \
  $'entry\tjob\t20\t4\tnumber\t2' \
  $'entry\tjob\t21\t4\tnumber\t2' \
  $'cycle\t\\\\srv\\新しいプリンタ\t400' \
  $'entry\tprinter\t20\t0\tnumber\t0' >"$script"
export FAKE_WINSPOOL_SCRIPT
FAKE_WINSPOOL_SCRIPT=$(winepath -w "$script")
export FAKE_WINSPOOL_LOG
FAKE_WINSPOOL_LOG=$(winepath -w "$work/spooler.log")
exe=$(winepath -w "$programs/tessaroven.exe")
ctl=$(winepath -w "$programs/tessaroven-ctl.exe")

# Its diagnostic log (progress too) tells what went wrong when something does.
wine reg add 'HKLM\SOFTWARE\Tessaroven\Setting' /v DiagnosticLog /t REG_DWORD /d 2 /f >/dev/null
wine "$exe" &
monitor=$!
records() { cat "$data"/PrintData_*.dat 2>/dev/null | tr -d '\r' | cut -d, -f1,3-7 | sort; }
expected=$(printf '%s\n' '12,Laser,\\PC3,sato,12,12' \
  "3,\\\\srv\\新しいプリンタ,\\\\$computer,$user,1,1" \
  '7,経理プリンタ,\\PC9,山田,6,6' | sort)
records_expected() { [ "$(records)" = "$expected" ]; }
if ! wait_for 60 records_expected; then
  echo "records written:"
  records
  echo "expected:"
  echo "$expected"
  echo "the spooler's calls:"
  cat "$work/spooler.log"
  echo "the diagnostic log:"
  cat "$c"/users/*/AppData/Local/Tessaroven/log.txt
  fail "the monitor did not write exactly the expected records"
fi
[ "$(wine "$ctl" status | tr -d '\r')" = running ] || fail "status is not running"

# A second start says so and ends with 1.
wine "$exe" &
second=$!
box=$(xdotool search --sync --onlyvisible --name '^Tessaroven$' | head -n 1)
[ -n "${TESSAROVEN_SHOTS:-}" ] && import -window root "$TESSAROVEN_SHOTS/already-running.png"
xdotool key --window "$box" Return 2>/dev/null
second_status=0
wait "$second" || second_status=$?
[ "$second_status" = 1 ] || fail "a second start exited with $second_status, not 1"

# tessaroven-ctl stop: the monitor ends and its status is 2.
[ "$(wine "$ctl" stop --wait 30 | tr -d '\r')" = stopped ] || fail "stop did not report stopped"
monitor_status=0
wait "$monitor" || monitor_status=$?
monitor=
[ "$monitor_status" = 0 ] || fail "the monitor exited with $monitor_status"
wine reg query 'HKLM\SOFTWARE\Tessaroven\Setting' /v TessarovenStatus | tr -d '\r' |
  grep -q 'REG_DWORD *0x2' || fail "TessarovenStatus is not 2"

# Uninstall: the programs go, the records stay.
rm "$programs/winspool.drv"
wine "$(winepath -w "$programs/uninstall.exe")" /S
wait_for 30 test ! -e "$programs/tessaroven.exe" || fail "the uninstaller left tessaroven.exe"
[ "$(records)" = "$expected" ] || fail "the uninstaller touched the records"
if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessaroven' \
  >/dev/null 2>&1; then
  fail "the uninstall entry is still there"
fi
echo "installed monitor: records, single instance, stop and uninstall as expected"
