#!/usr/bin/env bash
# Cross-builds the core, the command-line companion, the native window and the probe that its
# tests drive it with, for Windows (no Qt for MinGW here).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_GUI=OFF -DKIVO_BUILD_TESTS=OFF -DKIVO_WERROR=ON >/dev/null
cmake --build build-windows -j"$(nproc)"
file build-windows/cli/kivo-dbupdate-cli.exe build-windows/app/win32/kivo-dbupdate.exe
