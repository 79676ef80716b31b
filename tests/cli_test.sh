#!/usr/bin/env bash
# The command-line conventions of zipctl and dbadmin: help, version, usage errors, exit codes, passwords.
set -uo pipefail
bin="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
# expect STATUS COMMAND...: the command exits with STATUS; its stdout and stderr are kept in $work/out, err.
expect() {
  local want=$1; shift
  "$@" >"$work/out" 2>"$work/err"; local got=$?
  if [ "$got" -ne "$want" ]; then echo "FAIL: exit $got, not $want: $*"; cat "$work/err"; failures=$((failures + 1)); fi
}
contains() { grep -q -- "$2" "$work/$1" || { echo "FAIL: $1 lacks '$2'"; failures=$((failures + 1)); }; }

for tool in zipctl dbadmin; do
  expect 0 "$bin/$tool" --help; contains out "usage: $tool"; contains out "exit status"
  expect 0 "$bin/$tool" --version; contains out "^$tool [0-9]"
  expect 2 "$bin/$tool" bogus; contains err "^$tool: unknown command 'bogus'; try $tool --help"
done
expect 0 "$bin/zipctl" unzip --help; contains out "usage: zipctl \[OPTIONS\] unzip ZIPFILE FOLDER"
expect 0 "$bin/dbadmin" exec -h; contains out "sp_RestoreDatabase"
expect 2 "$bin/zipctl" --colour test x.zip; contains err "unknown option '--colour'"
expect 2 "$bin/zipctl" test a.zip extra; contains err "unexpected argument 'extra'"
expect 2 "$bin/dbadmin" check only-one; contains err "check needs CONNECT_PATH USER PASSWORD"

"$bin/dbadmin" demo "$work/ws" >/dev/null
db="$work/ws/COMPANY/abc/abc.ADD"
expect 0 "$bin/zipctl" --quiet zip "$work/a.zip" "$work/ws/COMPANY/abc"
expect 1 "$bin/zipctl" zip "$work/a.zip" "$work/ws/COMPANY/abc"; contains err "exists; add --force"
expect 0 "$bin/zipctl" --force zip "$work/a.zip" "$work/ws/COMPANY/abc"
expect 3 "$bin/zipctl" test "$work/missing.zip"
expect 4 "$bin/zipctl" --password wrong test "$work/a.zip"
echo wrong > "$work/pw"; expect 4 "$bin/zipctl" --password-file "$work/pw" test "$work/a.zip"
echo KESTA7946 > "$work/pw"; expect 0 "$bin/zipctl" --password-file "$work/pw" test "$work/a.zip"
ZIPCTL_PASSWORD=wrong expect 4 "$bin/zipctl" test "$work/a.zip"
head -c 2000 "$work/a.zip" > "$work/cut.zip"; expect 5 "$bin/zipctl" test "$work/cut.zip"
expect 3 "$bin/dbadmin" check "$work/none.add" DBSYS KESTA7946
expect 4 "$bin/dbadmin" check "$db" DBSYS wrong; contains err "^dbadmin: Login refused"
expect 0 "$bin/dbadmin" exec "$db" DBSYS KESTA7946 "EXECUTE PROCEDURE sp_BackupDatabase('$work/img', NULL)"
printf 'x' | dd of="$work/img/CUSTOMER.tbl" bs=1 seek=5000 conv=notrunc status=none
expect 5 "$bin/dbadmin" verify-image "$work/img/abc.ADD"
[ $failures -eq 0 ] && echo "command-line conventions ok"
exit $((failures > 0))
