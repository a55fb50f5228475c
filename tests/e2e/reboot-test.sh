#!/usr/bin/env bash
# Answers Yes to the reboot question and proves that Windows really restarts: in a throwaway
# copy of the Wine prefix (a restart ends every program of a prefix), a RunOnce entry written
# before the run must have been carried out by the restart.
#   reboot-test.sh BIN_DIR
set -euo pipefail
bin=$1
source "$(dirname "$0")/../../scripts/env.sh"
work=$(mktemp -d)
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
cp -a "$WINEPREFIX" "$work/prefix"
export WINEPREFIX=$work/prefix
wineserver -p
wine rundll32.exe user32.dll,MessageBeep </dev/null >/dev/null 2>&1 || true

marker=$WINEPREFIX/drive_c/rebooted.txt
wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v sarniktest \
     /d 'cmd /c echo rebooted> C:\rebooted.txt' /f >/dev/null 2>&1
mkdir -p "$work/kit/Setup"
# The log file must hold the whole block, results included, before the restart can end the program.
printf '[CustomCommands]\r\nShowDialog=FALSE\r\nReboot=TRUE\r\nLogFile=run.log\r\n' > "$work/kit/Setup/CustCmds.ini"
kit=$(winepath -w "$work/kit")

out=$(timeout 120 "$SARNIK_WINE" "$bin/kitdriver.exe" "$(winepath -w "$bin/sarnik.exe")" "0 0|$kit|||" \
      'C:\ready' 'C:\go' yes 2>/dev/null | tr -d '\r' || true)
echo "$out"
grep -q 'Message box "Reboot":' <<<"$out" || { echo "FAIL: no reboot question"; exit 1; }
grep -q '(answered Yes)' <<<"$out" || { echo "FAIL: the question was not answered Yes"; exit 1; }
# Windows Installer's own code for a restart that was started: the deployment tool must not take
# the machine for ready.
grep -qx 'Exit code of sarnik.exe: 1641' <<<"$out" || { echo "FAIL: Sarnik's exit code is not 1641"; exit 1; }
for _ in $(seq 1 300); do [ -f "$marker" ] && break; sleep 0.2; done
log=$(tr -d '\r' < "$work/kit/run.log" 2>/dev/null | cut -c25- || true)
echo "$log"
tail -4 <<<"$log" | diff - <(printf 'Answer: Yes\nResults:\nRestart: asked-yes\nExit code: 1641\n') \
  || { echo "FAIL: the log file does not end with the Yes, the results and the exit code"; exit 1; }
if [ -f "$marker" ]; then
  echo "PASS: the restart carried out the RunOnce entry"
else
  echo "FAIL: no restart (RunOnce entry not carried out)"
  exit 1
fi
