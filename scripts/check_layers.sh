#!/usr/bin/env bash
# Checks the include rule of the house (docs/architecture.md): which folder may include which.
# Prints every include that breaks it and exits 1; prints one summary line and exits 0 when
# there is none. Usage: scripts/check_layers.sh [SOURCE-TREE]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Folder -> the top-level folders its files may include (its own is always allowed).
declare -A allowed=(
  [platform]=""
  [mqi]="platform"
  [common]="mqi platform"
  [xml_check]="common platform"
  [load_agent]="common xml_check mqi platform"
  [delivery_agent]="common mqi platform"
  [router]="common mqi platform"
  [service_host]="platform"
  [tools]="common mqi platform"
)
# Of the MQI layer, agent code sees the interface of an application and, for its log, the
# text of a failed connect; nothing else.
agent_mqi_headers="mqi/mqi.h mqi/connect_cause.h"

violations=0
report() {
  echo "$1: includes \"$2\": $3"
  violations=$((violations + 1))
}

# check_file FILE: every quoted include of one source file against the rule of its folder.
check_file() {
  local file=$1 top=${1%%/*} inner=${1#*/}
  [ -v "allowed[$top]" ] || return 0  # tests/, bench/ and the rest may include anything
  local is_test=0
  [[ $file == *_test.cc || $file == *test_fixture.h || $file == *test_folder.h ]] && is_test=1
  local included target
  while IFS= read -r included; do
    target=${included%%/*}
    [ "$target" = "$included" ] && continue  # a file of the same folder, named bare
    # Unit tests may use the test-support library of the end-to-end tests.
    [ $is_test = 1 ] && [[ $included == tests/support/* ]] && continue
    if [ "$target" != "$top" ] && [[ " ${allowed[$top]} " != *" $target "* ]]; then
      report "$file" "$included" "$top/ may not include $target/"
      continue
    fi
    case "$top:$target" in
      common:mqi | load_agent:mqi | delivery_agent:mqi | router:mqi)
        if [ $is_test = 0 ] && [[ " $agent_mqi_headers " != *" $included "* ]]; then
          report "$file" "$included" "agent code uses the MQI calls only"
        fi ;;
      mqi:mqi) check_store_include "$file" "$inner" "$included" ;;
    esac
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
}

# check_store_include FILE INNER INCLUDED: one store never reaches into another, and the call
# layer reaches a store only through the store interface and its registry.
check_store_include() {
  local file=$1 inner=$2 included=$3
  local from_store="" to_store=""
  case "$inner" in embedded/*) from_store=embedded ;; postgres/*) from_store=postgres ;; esac
  case "$included" in mqi/embedded/*) to_store=embedded ;; mqi/postgres/*) to_store=postgres ;; esac
  [ -z "$to_store" ] && return 0
  [ "$from_store" = "$to_store" ] && return 0
  [[ $inner == store/registry* ]] && return 0
  report "$file" "$included" "only the store registry names a store"
}

checked=0
while IFS= read -r file; do
  check_file "$file"
  checked=$((checked + 1))
done < <(git ls-files -co --exclude-standard -- '*.h' '*.cc' '*.c' 2>/dev/null \
           || find . -name '*.h' -o -name '*.cc' -o -name '*.c' | sed 's|^\./||')

if [ $violations -gt 0 ]; then
  echo "$violations include(s) break the house rule"
  exit 1
fi
echo "layers: $checked files, every include within the house rule"
