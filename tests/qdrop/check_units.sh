#!/bin/sh
# Checks the shipped systemd units: systemd-analyze must accept them without a single warning,
# their sandbox must keep the exposure score low, and they restart a failed agent. Skips (77)
# without systemd-analyze.
# Usage: check_units.sh <folder of the units> <built APPHOST>
units=$1
apphost=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze"; exit 77; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
for unit in "$units"/*.service; do
  copy="$work/$(basename "$unit")"
  # ExecStart must name an executable that exists here: the APPHOST just built.
  sed "s#/usr/local/bin/APPHOST#$apphost#" "$unit" >"$copy"
  if ! output=$(systemd-analyze verify "$copy" 2>&1) || [ -n "$output" ]; then
    echo "$unit: $output"
    status=1
  fi
  # A failed agent (a non-zero exit code passed on by APPHOST) is started again, after a pause
  # and within a start limit; a clean end is not.
  for line in Restart=on-failure RestartSec= StartLimitIntervalSec= StartLimitBurst=; do
    if ! grep -q "^$line" "$unit"; then
      echo "$unit: no $line"
      status=1
    fi
  done
  # 20 stands for an exposure of 2.0 on systemd's scale of 0 to 10.
  if ! systemd-analyze security --offline=yes --threshold=20 "$copy" >"$work/security" 2>&1; then
    tail -n 3 "$work/security"
    echo "$unit: exposure above 2.0"
    status=1
  fi
done
exit $status
