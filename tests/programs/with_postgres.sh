#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL server: a cluster in a
# temporary folder, listening only on a Unix socket in that folder, stopped
# and removed at the end whatever the command's outcome.  The command sees
# the connection string in KAV_TEST_PG.  The server refuses to run as root,
# so under root the cluster belongs to the unprivileged user nobody.
#   tests/programs/with_postgres.sh COMMAND [ARGS...]
set -euo pipefail
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "with_postgres: the postgresql package is not installed (scripts/setup installs it)" >&2
  exit 1
fi
dir=$(mktemp -d /tmp/kav_pg.XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$dir"
  as=(runuser -u nobody --)
fi
stop() {
  "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
"${as[@]}" "$bin/initdb" -D "$dir/data" -U kav --auth=trust -E UTF8 --no-locale >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; exit 1; }
# A port of its own per run, so that parallel runs do not meet.
port=$((20000 + $$ % 20000))
"${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
  -o "-c listen_addresses='' -k $dir -p $port -c fsync=off" start >/dev/null ||
  { cat "$dir/server.log" >&2; exit 1; }
export KAV_TEST_PG="host=$dir port=$port dbname=postgres user=kav"
"$@"
