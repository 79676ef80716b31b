#!/usr/bin/env bash
# Installs what is missing, builds, lays out a demo workspace in ./demo and starts the window on it, the
# workspace as its program folder. Without a display it runs under Xvfb and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
[ -d demo ] || build/bin/dbadmin demo demo
program="$(pwd)/build/bin/backuptool"
cd demo
echo "Demo workspace: $(pwd)"
if [ -n "${DISPLAY:-}" ]; then
  exec "$program" --workspace .
fi
echo "No display: running the window under Xvfb; close it with Ctrl+C."
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "'"$program"'" --workspace . & program=$!
  sleep 3
  import -window root screenshot.png && echo "Screenshot of the window: $(pwd)/screenshot.png"
  wait $program'
