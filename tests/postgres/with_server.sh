#!/bin/sh
# Runs a command beside a throwaway PostgreSQL server: initdb into a fresh temporary folder,
# a server that listens only on a unix socket in that folder, one database "qt". The command
# finds the store in QM_TEST_STORE (and PG_TEST_SOCKET_DIR, PG_TEST_BIN for tests that stop and
# start the server themselves). The role qtpass logs in only with the password qt-right-pw.
# The server is stopped and the folder removed at the end.
# PostgreSQL refuses to run as root, so as root the server runs as the user postgres.
set -eu

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$pgbin" ] || [ ! -x "$pgbin/initdb" ]; then
  echo "with_server.sh: PostgreSQL server binaries not found (apt-get install postgresql)" >&2
  exit 1
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/qt-pg-XXXXXX")
as_server() { "$@"; }
if [ "$(id -u)" = 0 ]; then
  chown postgres "$dir"
  as_server() { runuser -u postgres -- "$@"; }
fi

cleanup() {
  as_server "$pgbin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

as_server "$pgbin/initdb" -D "$dir/data" -U qtest --auth=trust -E UTF8 --no-sync \
  >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
# Only a unix socket in our own folder: no port of the machine is taken. The settings live in
# the configuration file so that a test can stop and start the server with pg_ctl alone.
cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
port = 5432
fsync = ${PG_TEST_FSYNC:-off}
max_connections = 200
CONF
# One role must give its password (first line: pg_hba.conf takes the first that matches), so
# that a wrong one is refused. `cat >` keeps the file's owner.
{ echo "local all qtpass scram-sha-256"; cat "$dir/data/pg_hba.conf"; } >"$dir/hba.new"
cat "$dir/hba.new" >"$dir/data/pg_hba.conf"
as_server "$pgbin/pg_ctl" -D "$dir/data" -w -t 60 -l "$dir/server.log" start >/dev/null ||
  { cat "$dir/server.log" >&2; exit 1; }
"$pgbin/createdb" -h "$dir" -p 5432 -U qtest qt
"$pgbin/psql" -q -h "$dir" -p 5432 -U qtest -d qt \
  -c "CREATE ROLE qtpass LOGIN SUPERUSER PASSWORD 'qt-right-pw'" >/dev/null

export QM_TEST_STORE="postgresql:///qt?host=$dir&port=5432&user=qtest"
export PG_TEST_SOCKET_DIR="$dir"
export PG_TEST_DATA_DIR="$dir/data"
export PG_TEST_BIN="$pgbin"
# How to run a server program (pg_ctl) as the server's owner, for tests that stop and start it.
if [ "$(id -u)" = 0 ]; then export PG_TEST_AS_SERVER="runuser -u postgres --"; else export PG_TEST_AS_SERVER=""; fi
status=0
"$@" || status=$?
if [ "$status" != 0 ] && [ -n "${PG_TEST_SHOW_LOG:-}" ]; then tail -n 50 "$dir/server.log" >&2; fi
exit "$status"
