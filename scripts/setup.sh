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
  libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev groff-base
  dpkg-dev                   # dpkg-shlibdeps, for cpack -G DEB
)
# What scripts/, bench/run and the screenshot scripts call beyond a minimal Debian: file
# (windows_build.sh), odbcinst (bench/run), debootstrap (fresh_ci.sh), the window pictures'
# tools, the fuzzing compiler, the Windows cross-compiler and Wine, the packaging tools, and the
# judges of the packages and the role: lintian, hardening-check (devscripts) and ansible-lint.
if [[ "${1:-}" == "--with-test-tools" ]]; then
  packages+=(xvfb xauth openbox imagemagick x11-utils clang libclang-rt-dev
             g++-mingw-w64-x86-64 libbenchmark-dev file odbcinst debootstrap
             wine wine64 ansible zip unzip groff man-db
             desktop-file-utils lintian devscripts ansible-lint)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    # A minimal Debian has no sudo, and only root could install it.
    command -v sudo >/dev/null || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  echo "Installing: ${missing[*]}"
  started=$SECONDS
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  echo "== packages installed in $((SECONDS - started)) s"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVO_WERROR=ON
cmake --build build -j"$(nproc)"
