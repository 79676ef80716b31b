#!/usr/bin/env bash
# Builds the .deb with CPack and lists it: the programs, the man pages, the units and computed dependencies.
set -euo pipefail
build="$1"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
dpkg-deb -c "$deb" > "$out/contents"
for f in ./usr/bin/backuptool ./usr/bin/dbadmin ./usr/bin/zipctl ./usr/share/man/man1/zipctl.1 \
         ./usr/lib/systemd/system/backuptool-auto-backup.timer ./usr/share/applications/backuptool.desktop; do
  grep -q " $f\$" "$out/contents" || { echo "missing from the package: $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libzip libqt6widgets6 libsqlite3 libisal libqt6svg6; do
  [[ "$depends" == *"$lib"* ]] || { echo "Depends lacks $lib: $depends"; exit 1; }
done
echo "$(basename "$deb"): $(wc -l < "$out/contents") entries; Depends: $depends"
