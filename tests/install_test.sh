#!/usr/bin/env bash
# Installs the build into a DESTDIR and checks the layout; then runs the installed programs on a fresh
# workspace, the automatic backup unattended (no display) among them.
set -euo pipefail
build="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
for f in usr/bin/backuptool usr/bin/dbadmin usr/bin/zipctl \
         usr/share/applications/backuptool.desktop usr/share/icons/hicolor/scalable/apps/backuptool.svg \
         usr/share/man/man1/backuptool.1 usr/share/man/man1/dbadmin.1 usr/share/man/man1/zipctl.1 \
         usr/lib/systemd/system/backuptool-auto-backup.service usr/lib/systemd/system/backuptool-auto-backup.timer; do
  [ -e "$root/$f" ] || { echo "missing from the installation: $f"; exit 1; }
done
bin="$root/usr/bin"
version=$("$bin/zipctl" --version)
[ "$version" = "zipctl $("$bin/dbadmin" --version | cut -d' ' -f2)" ] || { echo "versions differ: $version"; exit 1; }

ws="$root/workspace"
"$bin/dbadmin" demo "$ws" >/dev/null
status=0
env -u DISPLAY -u WAYLAND_DISPLAY "$bin/backuptool" --auto-backup --workspace "$ws" 2>"$root/stderr" || status=$?
[ $status -eq 0 ] || { echo "auto backup exited $status"; cat "$root/stderr"; exit 1; }
for code in ACME BETA NORTH abc; do
  "$bin/dbadmin" verify-image "$ws/AUTOBACKUP/$code/$code.ADD" >/dev/null || { echo "no image of $code"; exit 1; }
done
# A company whose database is missing: the run stops there, says so in the log, and exits non-zero.
mv "$ws/COMPANY/BETA" "$ws/COMPANY/BETA.away"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY BACKUPTOOL_WORKSPACE="$ws" "$bin/backuptool" --auto-backup 2>"$root/stderr" || status=$?
[ $status -ne 0 ] || { echo "a failed auto backup exited 0"; exit 1; }
grep -q "backuptool: error: .*BETA" "$ws/backuptool.log" || { echo "no error in the log:"; cat "$ws/backuptool.log"; exit 1; }
grep -q "backuptool: error:" "$root/stderr" || { echo "no error on stderr"; exit 1; }
echo "installed layout and unattended automatic backup ok"
