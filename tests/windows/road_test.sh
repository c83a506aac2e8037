#!/bin/bash
# The road of a file on Windows: qfeed.exe, qroute.exe and qdrop.exe under Wine move files of
# 0 bytes, one segment and several segments from a source folder to a target folder, byte for
# byte. Every path the programs see (settings files, jobs, the route's target template, the
# roots) is a Windows path with a drive letter and backslashes: under Wine, / is drive Z:.
#
#   tests/windows/road_test.sh QFEED.EXE QROUTE.EXE QDROP.EXE QMCTL.EXE
#
# Runs in the Wine prefix of $WINEPREFIX (scripts/test-windows.sh makes one), or in a prefix of
# its own that it removes at the end. Stops the agents by inhibiting get on their queues; kills
# whatever of its own is left, on failure too.
set -euo pipefail
[ $# = 4 ] || { echo "usage: $0 QFEED.EXE QROUTE.EXE QDROP.EXE QMCTL.EXE" >&2; exit 2; }
qfeed=$1 qroute=$2 qdrop=$3 qmctl=$4
wine=${QT_WINE:-wine}
export WINEDEBUG=-all

work=$(mktemp -d /tmp/qt-wroad-XXXXXX)
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/prefix
  own_prefix=1
fi
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ $own_prefix = 1 ] && { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }
  if [ "${KEEP:-0}" = 1 ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() { echo "road_test: $*" >&2; for f in "$work"/logs/*.log; do echo "--- $f" >&2; cat "$f" >&2; done; exit 1; }

win() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }  # the Windows path of a Unix path
w=$(win "$work")
mkdir -p "$work"/{qm,logs,src,target}
export QM_STORE="$w\\qm"
qmctl() { "$wine" "$qmctl" "$@" | tr -d '\r'; }

qmctl create ROAD --start >/dev/null
for q in QFEED.JOBS QROUTE.IN QDROP.IN QROUTE.DEAD QDROP.DEFER LOAD.STATUS DLVR.STATUS; do
  qmctl define ROAD "$q" >/dev/null
done

# Settings files in CR LF, as a Windows editor writes them.
ini() { sed 's/$/\r/' >"$work/$1"; }
ini qfeed.ini <<INI
[MQSeries Objects]
QMgrName=ROAD
SrcQueue=QFEED.JOBS
[Source Definition]
SourceRoots=$w\\src
[Options]
FolderWaitTime=0
MQWaitTime=200
INI
ini qroute.ini <<INI
[MQSeries Objects]
QMgrName=ROAD
RcvrQueue=QROUTE.IN
DlvrQueue=QDROP.IN
DeadQueue=QROUTE.DEAD
ReplyToQ=DLVR.STATUS
WaitMQInterval=200
[Route 1]
SrcFolder=$w\\src
SrcMask=*
Obj_id=1
Tgt_id=2
Tgt_path=new($w\\target\\in\\)old
Tgt_crtmod=REPLACE
Options=-garbage QDROP.DEFER
INI
ini qdrop.ini <<INI
[MQSeries Objects]
QMgrName=ROAD
QName=QDROP.IN
WaitMQInterval=200
[Options]
DeferInterval=2000
TargetRoots=$w\\target
INI

# qfeed cuts a file into segments of 24575 bytes.
segment=24575
declare -A sizes=([empty.dat]=0 [one.bin]=$segment [three.bin]=$((2 * segment + 1))
                  [many.bin]=$((9 * segment + 4321)))
names=(empty.dat one.bin three.bin many.bin)
for name in "${names[@]}"; do head -c "${sizes[$name]}" /dev/urandom >"$work/src/$name"; done
mkdir "$work/originals" && cp "$work"/src/* "$work/originals/"

for agent in qfeed qroute qdrop; do
  (cd "$work" && exec "$wine" "${!agent}" "$w\\$agent.ini" >"$work/logs/$agent.log" 2>&1) &
  pids+=($!)
done

id=0
for name in "${names[@]}"; do
  id=$((id + 1))
  qmctl job ROAD QFEED.JOBS --path "$w\\src\\$name" --receiver QROUTE.IN \
    --reply-to-q LOAD.STATUS --is-log Y --src-id $id >/dev/null
done

collect() {  # collect QUEUE FILE: status records until one per file is in (at most 40 s)
  : >"$2"
  for _ in $(seq 40); do
    qmctl status ROAD "$1" --wait 1000 >>"$2" 2>/dev/null || true
    [ "$(grep -c . "$2")" -ge ${#names[@]} ] && return 0
  done
  fail "not every status record came on $1: $(cat "$2")"
}
collect LOAD.STATUS "$work/load.txt"
collect DLVR.STATUS "$work/dlvr.txt"

for q in QFEED.JOBS QROUTE.IN QDROP.IN; do qmctl inhibit ROAD "$q" get >/dev/null; done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || fail "agent $((i + 1)) of qfeed, qroute, qdrop ended with $?"
done
pids=()

id=0
for name in "${names[@]}"; do
  id=$((id + 1))
  grep -q "^LOAD_STATUS X src_id=0*$id " "$work/load.txt" || fail "$name: not loaded"
  grep -q "^DLVR_STATUS D src_id=0*$id " "$work/dlvr.txt" || fail "$name: not delivered"
  target=$work/target/in/$name
  [ -f "$target" ] || fail "$name: $(win "$target") is missing"
  cmp -s "$work/originals/$name" "$target" || fail "$name: $(win "$target") differs from its source"
  [ -e "$work/src/$name" ] && fail "$name: still in the source folder"
done
echo "road_test: ${#names[@]} files delivered byte for byte"
