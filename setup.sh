#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the program need, then configures and builds.
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libzip-dev libdeflate-dev libsqlite3-dev libssl-dev
          libisal-dev libxxhash-dev zlib1g-dev libgtest-dev p7zip-full libarchive-tools zip unzip sqlite3 xvfb xauth x11-utils imagemagick fonts-urw-base35 libqt6svg6 dpkg-dev clang-format time bc)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
