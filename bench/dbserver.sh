#!/usr/bin/env bash
# Times the server's backup and restore of a ~120 MB database against cp of the same files, in one run.
# Usage: bench/dbserver.sh [rows]   (needs a built tree: ./setup.sh)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dbadmin="$here/build/bin/dbadmin"
rows="${1:-420000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

"$dbadmin" create-dictionary db/bench.add pw
for table in LEDGER JOURNAL; do
  "$dbadmin" create-table db/bench.add DBSYS pw $table "ID:INTEGER,ACCOUNT:CHAR(12),TEXT:CHAR(60),AMOUNT:INTEGER,REF:TEXT" PRIMARY:ID:unique BY_ACCOUNT:ACCOUNT
  sqlite3 db/$table.tbl "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
    INSERT INTO $table SELECT i, printf('%012d', abs(random()) % 50000), printf('%-60s', 'Invoice ' || i || ' for customer ' || (i % 977)),
    abs(random()) % 1000000, hex(randomblob(8)) FROM n;"
done
sync
size=$(du -cb db/* | tail -1 | cut -f1)

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); echo "$end - $start" | bc; }
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }

cp_times=(); backup_times=(); restore_times=()
for run in 1 2 3; do
  rm -rf cpcopy img live; mkdir cpcopy
  cp_times+=("$(seconds sh -c 'cp db/* cpcopy/ && sync')")
  backup_times+=("$(seconds "$dbadmin" exec db/bench.add DBSYS pw "EXECUTE PROCEDURE sp_BackupDatabase('img', NULL )")")
  restore_times+=("$(seconds "$dbadmin" exec img/bench.add DBSYS pw "EXECUTE PROCEDURE sp_RestoreDatabase('img/bench.add','pw','live/bench.add', NULL )")")
done
cp_med=$(median "${cp_times[@]}"); b_med=$(median "${backup_times[@]}"); r_med=$(median "${restore_times[@]}")
printf 'database: %d bytes in %d files\n' "$size" "$(ls db | wc -l)"
printf '%-22s %8s %10s\n' what seconds "x cp"
printf '%-22s %8.2f %10.2f\n' "cp + sync" "$cp_med" 1
printf '%-22s %8.2f %10.2f\n' "sp_BackupDatabase" "$b_med" "$(echo "$b_med / $cp_med" | bc -l)"
printf '%-22s %8.2f %10.2f\n' "sp_RestoreDatabase" "$r_med" "$(echo "$r_med / $cp_med" | bc -l)"
