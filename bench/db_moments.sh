#!/usr/bin/env bash
# The moment pass over a PostgreSQL table of N rows x P columns, three ways:
# pushed down into SQL, read row by row over the connection, and exported to
# CSV (psql \copy) then read from the file.  The table is made on the
# server (three factors behind P measures plus noise); the server is a
# throw-away one from tests/programs/with_postgres.sh.  Prints each time
# (wall clock, seconds) and the ratios to the pushed-down time, all measured
# in this run.
#   bench/db_moments.sh [N] [P] [KAV]     (defaults 1000000, 50, build/kav)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KAV_TEST_PG:-}" ]; then
  exec tests/programs/with_postgres.sh "$0" "$@"
fi
n=${1:-1000000}
p=${2:-50}
kav=$(realpath "${3:-build/kav}")
work=$(mktemp -d /tmp/kav_dbbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
psql=(psql -q -X -v ON_ERROR_STOP=1 "$KAV_TEST_PG")

cols=""
for j in $(seq 1 "$p"); do
  cols+="${cols:+, }round((($j % 3 + 1) * a + ($j % 5) * b + ($j % 7 - 3) * c + 4 * random() + $j) * 1e6) / 1e6 AS x$j"
done
start=$(date +%s.%N)
"${psql[@]}" -c "DROP TABLE IF EXISTS big" \
  -c "CREATE TABLE big AS SELECT $cols FROM (SELECT random() AS a, random() AS b, random() AS c FROM generate_series(1, $n)) AS f" \
  -c "ANALYZE big"
load=$(echo "$(date +%s.%N) - $start" | bc)
echo "table made: $load s" >&2

step() {  # program text -> seconds
  printf '%s\n' "$1" >"$work/p.kav"
  local t0 t1
  t0=$(date +%s.%N)
  "$kav" run "$work/p.kav" >"$work/listing.txt" 2>"$work/log.txt" || { cat "$work/log.txt" >&2; exit 1; }
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}
proc="proc factor data=DATA nfactors=3 noprint outstat=work.s; var x1-x$p; run;"
lib="libname pg postgres '$KAV_TEST_PG';"
pushed=$(step "$lib ${proc/DATA/pg.big}")
echo "pushed down: $pushed s" >&2
grep -q "ran in the PostgreSQL database" "$work/log.txt" || { echo "not pushed down" >&2; exit 1; }
rows=$(step "options nopushdown; $lib ${proc/DATA/pg.big}")
echo "row by row: $rows s" >&2
t0=$(date +%s.%N)
"${psql[@]}" -c "\\copy big TO '$work/big.csv' CSV HEADER"
export_s=$(echo "$(date +%s.%N) - $t0" | bc)
file="'$work/big.csv'"
csv_read=$(step "${proc/DATA/$file}")
csv=$(echo "$export_s + $csv_read" | bc)

printf 'rows %d x %d columns (table made in %.1f s)\n' "$n" "$p" "$load"
printf 'pushed down            %8.2f s\n' "$pushed"
printf 'row by row             %8.2f s   ratio to pushed down %6.2f\n' "$rows" "$(echo "$rows / $pushed" | bc -l)"
printf 'CSV export %6.2f + read %6.2f = %8.2f s   ratio to pushed down %6.2f\n' "$export_s" "$csv_read" "$csv" "$(echo "$csv / $pushed" | bc -l)"
