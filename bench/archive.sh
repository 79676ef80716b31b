#!/usr/bin/env bash
# Compression and extraction of a generated image of table files: zipctl against 7-Zip (AES-256, -mx=5),
# Info-ZIP (zip -6 -P) and bsdtar (zip, aes256), in one run on the same files. Medians of three runs.
# Usage: bench/archive.sh [--large]   (needs a built tree)
#   --large: the image is one table of about 1.8 GB instead
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
zipctl="$here/build/bin/zipctl"
large=false; [ "${1:-}" = "--large" ] && large=true
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
img="$work/img"; mkdir -p "$img"
pw=KESTA7946

# Table files: SQLite pages of ledger rows, as a company database holds them (~120 MB in all).
tables="LEDGER:400000 JOURNAL:270000 CUSTOMER:80000 INVOICE:160000 STOCK:55000"
$large && tables="HUGE:12500000"
for t in $tables; do
  name=${t%%:*}; rows=${t##*:}
  sqlite3 "$img/$name.tbl" "CREATE TABLE $name(ID INTEGER PRIMARY KEY, ACCOUNT CHAR(12), TEXT CHAR(60), AMOUNT INTEGER, REF TEXT);
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
    INSERT INTO $name SELECT i, printf('%012d', abs(random()) % 50000),
      printf('%-60s', 'Posting ' || i || ' customer ' || (abs(random()) % 977) || ' ' || hex(randomblob(4))),
      abs(random()) % 1000000, hex(randomblob(6)) FROM n;
    CREATE INDEX ${name}_ACC ON $name(ACCOUNT);"
done
size=$(du -cb "$img"/* | tail -1 | cut -f1)
printf 'image: %d files, %d bytes\n' "$(ls "$img" | wc -l)" "$size"

# Runs a command three times; prints "median-seconds peak-KiB median-CPU-seconds".
measure() {
  local times=() peaks=() cpus=() e m u s
  for _ in 1 2 3; do
    "$prepare" >/dev/null 2>&1 || true
    /usr/bin/time -o "$work/time.txt" -f '%e %M %U %S' "$@" >/dev/null 2>&1
    read -r e m u s < <(tail -1 "$work/time.txt")
    times+=("$e"); peaks+=("$m"); cpus+=("$(echo "$u + $s" | bc)")
  done
  echo "$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p) $(printf '%s\n' "${peaks[@]}" | sort -n | tail -1)" \
       "$(printf '%s\n' "${cpus[@]}" | sort -n | sed -n 2p)"
}
clean_zip() { rm -f "$work"/out.*; }
clean_dir() { rm -rf "$work/x"; mkdir -p "$work/x"; }

declare -A T M S C
prepare=clean_zip
read -r T[zipctl_zip] M[zipctl_zip] C[zipctl_zip] < <(measure "$zipctl" --password $pw zip "$work/out.zipctl.zip" "$img")
read -r T[7z_zip] M[7z_zip] C[7z_zip] < <(measure 7z a -tzip -mx=5 -mem=AES256 -p$pw "$work/out.7z.zip" "$img/.")
read -r T[zip_zip] M[zip_zip] C[zip_zip] < <(measure sh -c "cd '$img' && zip -q -6 -P $pw '$work/out.infozip.zip' *")
read -r T[bsdtar_zip] M[bsdtar_zip] C[bsdtar_zip] < <(measure sh -c "cd '$img' && bsdtar --format zip --options zip:encryption=aes256 --passphrase $pw -cf '$work/out.bsdtar.zip' *")
"$zipctl" --password $pw zip "$work/out.zipctl.zip" "$img" >/dev/null
7z a -tzip -mx=5 -mem=AES256 -p$pw "$work/out.7z.zip" "$img/." >/dev/null
(cd "$img" && zip -q -6 -P $pw "$work/out.infozip.zip" * && bsdtar --format zip --options zip:encryption=aes256 --passphrase $pw -cf "$work/out.bsdtar.zip" *)
S[zipctl_zip]=$(stat -c %s "$work/out.zipctl.zip"); S[7z_zip]=$(stat -c %s "$work/out.7z.zip")
S[zip_zip]=$(stat -c %s "$work/out.infozip.zip"); S[bsdtar_zip]=$(stat -c %s "$work/out.bsdtar.zip")

prepare=true
# The read-back that every zipctl zip ends with, alone: its share of the compression time.
read -r T[zipctl_test] M[zipctl_test] C[zipctl_test] < <(measure "$zipctl" --password $pw test "$work/out.zipctl.zip")
read -r T[7z_test] M[7z_test] C[7z_test] < <(measure 7z t -p$pw "$work/out.7z.zip")

prepare=clean_dir
read -r T[zipctl_unzip] M[zipctl_unzip] C[zipctl_unzip] < <(measure "$zipctl" --password $pw unzip "$work/out.zipctl.zip" "$work/x")
read -r T[7z_unzip] M[7z_unzip] C[7z_unzip] < <(measure 7z x -y -p$pw -o"$work/x" "$work/out.7z.zip")
read -r T[zip_unzip] M[zip_unzip] C[zip_unzip] < <(measure unzip -q -o -P $pw "$work/out.infozip.zip" -d "$work/x")
read -r T[bsdtar_unzip] M[bsdtar_unzip] C[bsdtar_unzip] < <(measure sh -c "cd '$work/x' && bsdtar --passphrase $pw -xf '$work/out.bsdtar.zip'")

printf '\n%-24s %9s %9s %11s %14s %12s\n' what seconds "CPU s" "7-Zip/this" "output bytes" "peak MiB"
for op in zip unzip test; do
  for tool in zipctl 7z zip bsdtar; do
    key=${tool}_$op
    [ -n "${T[$key]:-}" ] || continue
    label="$tool $op"; [ $tool = zip ] && label="Info-ZIP $op"
    printf '%-24s %9.2f %9.2f %11.2f %14s %12.0f\n' "$label" "${T[$key]}" "${C[$key]}" \
      "$(echo "${T[7z_$op]} / ${T[$key]}" | bc -l)" \
      "$([ $op = zip ] && echo "${S[$key]}" || echo -)" "$(echo "${M[$key]} / 1024" | bc -l)"
  done
done
# zlib's size at level 6 of the same files, the bound the output must stay within (+1%).
zlib6=0
for f in "$img"/*; do zlib6=$((zlib6 + $(python3 -c "import sys,zlib; print(len(zlib.compress(open(sys.argv[1],'rb').read(), 6)))" "$f"))); done
printf '\nzlib level 6 of the same files: %d bytes; zipctl is %.2f%% of it\n' "$zlib6" "$(echo "100 * ${S[zipctl_zip]} / $zlib6" | bc -l)"
printf '\nread-back (zipctl test) %.2f s: %.0f%% of the compression without it\n' "${T[zipctl_test]}" \
  "$(echo "100 * ${T[zipctl_test]} / (${T[zipctl_zip]} - ${T[zipctl_test]})" | bc -l)"
