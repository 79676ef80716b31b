#!/usr/bin/env bash
# Installs what is missing, builds, and lays out a demo workspace in ./demo.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
[ -d demo ] || build/bin/dbadmin demo demo
echo "Demo workspace: $(pwd)/demo"
