#!/usr/bin/env bash
# Makes the packages: the two .deb files (cpack in build/, which scripts/setup.sh builds) and,
# unless --deb-only, the Windows zip (scripts/windows_dist.sh, which cross-builds first).
# Prints the path of each package made.
# Usage: scripts/package.sh [--deb-only]
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/build.ninja ]] || { echo "package: no build in build/; run scripts/setup.sh" >&2; exit 1; }
cmake --build build -j"$(nproc)" >/dev/null
rm -f build/kivo-dbupdate*.deb
(cd build && cpack -G DEB >/dev/null)
ls -1 "$PWD"/build/kivo-dbupdate*.deb

if [[ "${1:-}" != "--deb-only" ]]; then
  scripts/windows_dist.sh >/dev/null
  ls -1 "$PWD"/build-windows/kivo-dbupdate-windows-x64.zip
fi
