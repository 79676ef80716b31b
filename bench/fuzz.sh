#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) and runs each for SECONDS (default 60), all at
# once; name targets after SECONDS to run only those. Inputs that crash are copied into fuzz/regressions/<target>/, which the tests run from then on.
# Not a test: run ./setup.sh first; it needs clang and libfuzzer-14-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
for p in clang libfuzzer-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"; $sudo apt-get install -y -qq "$p"; }
done
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_WINDOW=OFF \
  -DBUILD_TESTING=OFF -DBUILD_FUZZERS=ON >/dev/null
cmake --build build-fuzz --target FuzzZipReader FuzzStatement FuzzIni

targets=(FuzzZipReader FuzzStatement FuzzIni)
(($# > 1)) && targets=("${@:2}")
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/crashes/$t"
  cp -n fuzz/corpus/"$t"/* "build-fuzz/corpus/$t/" 2>/dev/null || true
  ASAN_OPTIONS=detect_leaks=1 "build-fuzz/bin/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/crashes/$t/" "build-fuzz/corpus/$t" >"build-fuzz/$t.log" 2>&1 &
done
wait || true

status=0
printf '%-16s %10s %10s %8s\n' target runs corpus crashes
for t in "${targets[@]}"; do
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/$t.log" | grep -o '[0-9]*$' || true)
  [ -n "$runs" ] || runs=$(grep -oE '^#[0-9]+' "build-fuzz/$t.log" | tail -1 | tr -d '#')
  crashes=$(find "build-fuzz/crashes/$t" -type f | wc -l)
  printf '%-16s %10s %10s %8s\n' "$t" "${runs:-?}" "$(ls "build-fuzz/corpus/$t" | wc -l)" "$crashes"
  if [ "$crashes" -gt 0 ]; then
    status=1
    mkdir -p "fuzz/regressions/$t"
    cp "build-fuzz/crashes/$t"/* "fuzz/regressions/$t/"
    echo "  kept as regression inputs in fuzz/regressions/$t; the log is build-fuzz/$t.log"
  fi
done
exit $status
