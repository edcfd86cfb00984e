#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages only) and builds into build/.
# Usage: scripts/setup.sh [--with-test-tools]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev fonts-liberation2
  unixodbc unixodbc-dev tdsodbc freetds-bin
  python3
  libgtest-dev libgmock-dev
  nlohmann-json3-dev
  libcli11-dev groff-base
)
if [[ "${1:-}" == "--with-test-tools" ]]; then
  packages+=(xvfb xauth openbox imagemagick x11-utils clang libclang-rt-dev
             g++-mingw-w64-x86-64 libbenchmark-dev wine wine64 zip unzip)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVO_WERROR=ON
cmake --build build -j"$(nproc)"
