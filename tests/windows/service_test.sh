#!/bin/bash
# APPHOST.exe as a real service under Wine: `sc create`, its parameters with `reg add` under
# HKLM\SYSTEM\CurrentControlSet\Services\<name>\Parameters, `sc start`, the child runs with the
# arguments, folder and environment of the parameters, `sc stop` ends the service and the
# child with it, `sc delete`. Several rounds, so that a stop that fails now and then shows.
#
#   tests/windows/service_test.sh APPHOST.EXE CHILD.EXE
#
# Runs in the Wine prefix of $WINEPREFIX (scripts/test-windows.sh makes one), or in a prefix of
# its own that it removes at the end.
set -euo pipefail
[ $# = 2 ] || { echo "usage: $0 APPHOST.EXE CHILD.EXE" >&2; exit 2; }
apphost=$1 child=$2
wine=${QT_WINE:-wine}
export WINEDEBUG=-all
rounds=${QT_SERVICE_ROUNDS:-6}

work=$(mktemp -d /tmp/qt-wsvc-XXXXXX)
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/prefix
  own_prefix=1
fi
service=QtHost$$
key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service\\Parameters"
# Runs a Wine program and prints its output. Through a file, not a pipe: the first call starts
# Wine's own services, which would hold a pipe open long after the program ended.
w() {
  local status=0
  "$wine" "$@" >"$work/out" 2>&1 </dev/null || status=$?
  tr -d '\r' <"$work/out"
  return $status
}
# Wine shows the child under its Windows or its Unix path; both name this run's folder.
childRunning() { pgrep -f "${work##*/}.child\.exe" >/dev/null; }
childGone() { ! childRunning; }
cleanup() {
  w sc stop "$service" >/dev/null || true
  w sc delete "$service" >/dev/null || true
  pkill -9 -f "${work##*/}.child\.exe" 2>/dev/null || true
  [ $own_prefix = 1 ] && { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }
  if [ "${KEEP:-0}" = 1 ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() { echo "service_test: $*" >&2; [ -f "$work/record" ] && { echo "--- record" >&2; cat "$work/record" >&2; }; exit 1; }

win() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }  # the Windows path of a Unix path
mkdir -p "$work/run"
cp "$apphost" "$work/APPHOST.exe"
cp "$child" "$work/child.exe"
child=$work/child.exe

out=$(w sc create "$service" binPath= "$(win "$work/APPHOST.exe")") || fail "sc create: $out"
w reg add "$key" /v Application /t REG_SZ /d "$(win "$work/child.exe")" /f >/dev/null
w reg add "$key" /v AppParameters /t REG_SZ /d "one two" /f >/dev/null
w reg add "$key" /v AppDirectory /t REG_SZ /d "$(win "$work/run")" /f >/dev/null
w reg add "$key" /v AppEnvironment /t REG_MULTI_SZ \
  /d "APPHOST_CHILD_RECORD=$(win "$work/record")\\0CHILD_FOO=bar" /f >/dev/null

# The state sc query names: RUNNING, STOPPED, ...
state() { w sc query "$service" | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
waitFor() {  # waitFor WHAT SECONDS COMMAND...
  local what=$1 deadline=$((SECONDS + $2)); shift 2
  until "$@"; do [ $SECONDS -lt $deadline ] || fail "timed out waiting for $what"; sleep 0.2; done
}
isState() { [ "$(state)" = "$1" ]; }
record() { tr -d '\r' 2>/dev/null <"$work/record" || true; }  # the child writes CR LF
startedTimes() { [ "$(record | grep -c '^ready$' || true)" -ge "$1" ]; }

for round in $(seq 1 "$rounds"); do
  out=$(w sc start "$service") || fail "round $round: sc start: $out"
  waitFor "the child's start (round $round)" 30 startedTimes "$round"
  waitFor "the service running (round $round)" 30 isState RUNNING
  childRunning || fail "round $round: the child is not running"
  out=$(w sc stop "$service") || fail "round $round: sc stop: $out"
  waitFor "the service stopped (round $round)" 30 isState STOPPED
  waitFor "the child's end (round $round)" 10 childGone
done

record | grep -qx 'arg=one' && record | grep -qx 'arg=two' || fail "arguments not passed"
record | grep -qiFx "cwd=$(win "$work/run")" || fail "not started in AppDirectory"
record | grep -qx 'env CHILD_FOO=bar' || fail "AppEnvironment not passed"
out=$(w sc delete "$service") || fail "sc delete: $out"
if w sc query "$service" >/dev/null; then fail "the service is still known after sc delete"; fi
echo "service_test: $rounds rounds of start and stop passed"
