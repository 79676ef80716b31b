#!/usr/bin/env bash
# Starts the real program under Xvfb on a demo workspace and checks that its window appears with its title.
# Exit 77 (skipped) where Xvfb is missing; setup.sh installs it.
set -u
bin="$1"
command -v xvfb-run >/dev/null && command -v xwininfo >/dev/null || { echo "SKIP: xvfb-run or xwininfo missing"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$bin/dbadmin" demo "$work/ws" >/dev/null || exit 1
cp "$bin/backuptool" "$work/ws/"
cd "$work/ws"
xvfb-run -a bash -c '
  ./backuptool & program=$!
  for _ in $(seq 50); do
    if xwininfo -root -tree | grep -q "\"Backup & Restore Utility\""; then kill $program; echo "window shown"; exit 0; fi
    sleep 0.2
  done
  kill $program; echo "no window titled Backup & Restore Utility"; exit 1'
