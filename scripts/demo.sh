#!/usr/bin/env bash
# The road of a file in one command. On a fresh Debian machine: installs what is missing,
# builds the programs, creates a throwaway queue manager in a temporary folder, starts two
# qfeed (one checks XML documents, one loads any file), qroute and qdrop, loads a handful of
# files, waits for their status records, prints what happened to each file and compares every
# delivered file with its source byte for byte, then stops the programs by inhibiting get on
# their queues. Exits 0 only when everything went as expected: every file delivered unchanged,
# except broken.xml, which fails the document check and must land in the reject folder.
#
#   scripts/demo.sh            (KEEP=1 keeps the temporary folder for a look afterwards)
#   SERVE=1 scripts/demo.sh    also serves the live dashboard (LISTEN=HOST:PORT, default
#                              127.0.0.1:8080), prints its URL and keeps the road running
#                              until Enter is pressed; status records are browsed, not taken
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/deps.sh
build=$(realpath -m "${BUILD_DIR:-build}")  # BUILD_DIR: another build folder
if [ "${NO_BUILD:-0}" != 1 ]; then  # NO_BUILD=1: the programs are built already
  echo "== building qfeed, qroute, qdrop and qmctl in $build"
  cmake -S . -B "$build" -DQT_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target qfeed qroute qdrop qmctl >/dev/null
fi
qfeed=$build/load_agent/qfeed
qroute=$build/router/qroute
qdrop=$build/delivery_agent/qdrop
qmctl=$build/tools/qmctl/qmctl

work=$(mktemp -d /tmp/qtransfer-demo.XXXXXX)
export QM_STORE=$work/qm
pids=()
serve_pid=""
cleanup() {
  for pid in "${pids[@]}" $serve_pid; do kill -9 "$pid" 2>/dev/null || true; done
  if [ "${KEEP:-0}" = 1 ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir -p "$work"/{qm,logs,reports,rejected,originals,src/documents,src/data,target}

echo "== queue manager DEMO in $QM_STORE"
$qmctl create DEMO --start >/dev/null
queues=(QFEED.DOCS.JOBS QFEED.DATA.JOBS QROUTE.IN QDROP.IN QROUTE.DEAD QDROP.DEFER
        LOAD.STATUS DLVR.STATUS PING.REPLY)
for q in "${queues[@]}"; do $qmctl define DEMO "$q" >/dev/null; done

# qfeed for documents: a report folder switches the XML document check on.
cat >"$work/qfeed-docs.ini" <<EOF
[MQSeries Objects]
QMgrName=DEMO
SrcQueue=QFEED.DOCS.JOBS
[Source Definition]
LogPath=$work/reports
RejectPath=$work/rejected
SourceRoots=$work/src
[Options]
FolderWaitTime=0
MQWaitTime=1000
EOF
# qfeed for data files: no report folder, no check.
cat >"$work/qfeed-data.ini" <<EOF
[MQSeries Objects]
QMgrName=DEMO
SrcQueue=QFEED.DATA.JOBS
[Source Definition]
SourceRoots=$work/src
[Options]
FolderWaitTime=0
MQWaitTime=1000
EOF
cat >"$work/qroute.ini" <<EOF
[MQSeries Objects]
QMgrName=DEMO
RcvrQueue=QROUTE.IN
DlvrQueue=QDROP.IN
DeadQueue=QROUTE.DEAD
ReplyToQ=DLVR.STATUS
WaitMQInterval=1000

[Route 1]
SrcFolder=$work/src/documents
SrcMask=*.xml
Obj_id=1
Tgt_id=1
Tgt_path=new($work/target/documents/)old
Tgt_crtmod=REPLACE
Options=-garbage QDROP.DEFER

[Route 2]
SrcFolder=$work/src/data
SrcMask=*
Obj_id=2
Tgt_id=2
Tgt_path=new($work/target/data/)old
Tgt_crtmod=REPLACE
Options=-garbage QDROP.DEFER
EOF
cat >"$work/qdrop.ini" <<EOF
[MQSeries Objects]
QMgrName=DEMO
QName=QDROP.IN
WaitMQInterval=1000
[Options]
DeferInterval=5000
TargetRoots=$work/target
EOF

echo "== files to send"
document() {  # document REGNUM MSGNUM MSGTYPE: one row; an empty MSGTYPE fails the check
  printf "%s\n" "<?xml version = '1.0' encoding = 'windows-1251'?>" "<ROWSET>" " <ROW>" \
    "  <PERSON><REGNUM>$1</REGNUM></PERSON>" \
    "  <MSG><MSGNUM>$2</MSGNUM><MSGDATE>15.03.2007</MSGDATE><MSGTYPE>$3</MSGTYPE></MSG>" \
    " </ROW>" "</ROWSET>"
}
document 1234567890123 42 A >"$work/src/documents/orders.xml"
document 9876543210987 7 B >"$work/src/documents/payments.xml"
document 5555555555555 9 "" >"$work/src/documents/broken.xml"
head -c $((6 * 1048576 + 12345)) /dev/urandom >"$work/src/data/archive.bin"
: >"$work/src/data/empty.dat"
files=(documents/orders.xml documents/payments.xml documents/broken.xml data/archive.bin
       data/empty.dat)
for f in "${files[@]}"; do cp "$work/src/$f" "$work/originals/${f##*/}"; done
ls -l "$work/src/documents" "$work/src/data" | sed 's/^/   /'

echo "== starting qfeed (documents), qfeed (data), qroute, qdrop; consoles in $work/logs"
start() {  # start NAME PROGRAM SETTINGS
  "$2" "$3" >"$work/logs/$1.log" 2>&1 &
  pids+=($!)
}
start qfeed-docs "$qfeed" "$work/qfeed-docs.ini"
start qfeed-data "$qfeed" "$work/qfeed-data.ini"
start qroute "$qroute" "$work/qroute.ini"
start qdrop "$qdrop" "$work/qdrop.ini"
for q in QFEED.DOCS.JOBS QFEED.DATA.JOBS QROUTE.IN QDROP.IN; do
  $qmctl ping DEMO "$q" --reply-to-q PING.REPLY --timeout 10000 | sed 's/^/   /'
done

echo "== one job per file"
id=0
for f in "${files[@]}"; do
  id=$((id + 1))
  case $f in documents/*) jobq=QFEED.DOCS.JOBS ;; *) jobq=QFEED.DATA.JOBS ;; esac
  $qmctl job DEMO "$jobq" --path "$work/src/$f" --receiver QROUTE.IN \
    --reply-to-q LOAD.STATUS --is-log Y --src-id "$id" | sed 's/^/   /'
done

echo "== waiting for the status records"
expected=4  # broken.xml is rejected by the document check: no status record for it
collect() {  # collect QUEUE FILE: reads status records until $expected are in (at most 40 s)
  : >"$2"
  for _ in $(seq 40); do
    if [ "${SERVE:-0}" = 1 ]; then  # left on the queue for the dashboard
      $qmctl status DEMO "$1" --browse --wait 1000 >"$2" 2>/dev/null || true
    else
      $qmctl status DEMO "$1" --wait 1000 >>"$2" 2>/dev/null || true
    fi
    [ "$(wc -l <"$2")" -ge $expected ] && return 0
  done
}
collect LOAD.STATUS "$work/load-status.txt"
collect DLVR.STATUS "$work/dlvr-status.txt"
for _ in $(seq 100); do [ -e "$work/src/documents/broken.xml" ] || break; sleep 0.1; done
sed 's/^/   /' "$work/load-status.txt" "$work/dlvr-status.txt"

echo "== what happened to each file"
status_of() {  # status_of FILE ID: the state letter of src_id ID, or -
  sed -n "s/^[A-Z_]* \([A-Z-]\) src_id=0*$2 .*/\1/p" "$1" | head -1 | grep . || echo -
}
target_of() {  # target_of ID: the path in the DLVR_STATUS comment of src_id ID
  sed -n "s/^DLVR_STATUS . src_id=0*$1 .*File '\(.*\)' has been delivered.*/\1/p" \
    "$work/dlvr-status.txt" | head -1
}
ok=1
printf "   %-14s %9s  %-6s %-6s %-8s %s\n" FILE BYTES LOAD DLVR BYTES= "TARGET PATH"
id=0
for f in "${files[@]}"; do
  id=$((id + 1))
  name=${f##*/}
  size=$(stat -c %s "$work/originals/$name")
  load=$(status_of "$work/load-status.txt" $id)
  dlvr=$(status_of "$work/dlvr-status.txt" $id)
  target=$(target_of $id)
  if [ "$name" = broken.xml ]; then
    target=$work/rejected/$name
    expect="-/-"
  else
    expect="X/D"
  fi
  same=differ
  [ -n "$target" ] && cmp -s "$work/originals/$name" "$target" && same=same
  [ "$load/$dlvr" = "$expect" ] && [ "$same" = same ] || ok=0
  [ -n "$target" ] || target="(none)"
  printf "   %-14s %9s  %-6s %-6s %-8s %s\n" "$name" "$size" "$load" "$dlvr" "$same" "$target"
done
echo "   broken.xml: $(grep -h '^Error:' "$work"/reports/*.log | tail -1) (moved to the reject folder)"
leftover=$(find "$work/src" -type f | wc -l)
dead=$($qmctl queues DEMO QROUTE.DEAD --json | grep -o '"depth": *[0-9]*' | grep -o '[0-9]*$' || echo "?")
echo "   files left in the source folders: $leftover; messages on the dead-letter queue: ${dead:-?}"
[ "$leftover" = 0 ] || ok=0

if [ "${SERVE:-0}" = 1 ]; then
  echo "== the live dashboard"
  $qmctl serve DEMO --listen "${LISTEN:-127.0.0.1:8080}" --allow-actions \
    --reply-queue LOAD.STATUS --reply-queue DLVR.STATUS --deferred-queue QDROP.DEFER \
    --dead-queue QROUTE.DEAD --delivery-queue QDROP.IN --receiver-queue QROUTE.IN \
    >"$work/logs/serve.log" 2>&1 &
  serve_pid=$!
  for _ in $(seq 50); do grep -q "^dashboard at" "$work/logs/serve.log" && break; sleep 0.1; done
  sed 's/^/   /' "$work/logs/serve.log"
  grep -q "^dashboard at" "$work/logs/serve.log" || ok=0
  read -r -p "   the road keeps running; press Enter to stop it " _ || true
  kill "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" 2>/dev/null || true
  serve_pid=""
fi

echo "== stopping the programs: get inhibited on their input queues"
for q in QFEED.DOCS.JOBS QFEED.DATA.JOBS QROUTE.IN QDROP.IN; do $qmctl inhibit DEMO "$q" get; done
for pid in "${pids[@]}"; do
  if ! wait "$pid"; then ok=0; fi
done
pids=()
grep -h "Normal exit" "$work"/logs/*.log | sed 's/^/   /'

if [ $ok = 1 ]; then
  echo "== demo passed: every file delivered byte for byte, broken.xml rejected"
  exit 0
fi
echo "== demo FAILED: see the consoles in $work/logs (run with KEEP=1 to keep them)"
exit 1
