#!/usr/bin/env bash
# Sets up, builds and runs every test suite: the suite under AddressSanitizer (with leak
# checking) and UndefinedBehaviorSanitizer, bounded fuzzing, the Windows cross-build with its
# zip and the companion's end-to-end tests under Wine, and last the suite on the regular build,
# whose CTest summary closes the run.
# Usage: scripts/test.sh [--quick]   (--quick: the regular suite only)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --with-test-tools

if [[ "${1:-}" != "--quick" ]]; then
  echo "== sanitizers"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIVO_WERROR=ON \
    -DKIVO_SANITIZE=address,undefined >/dev/null
  cmake --build build-asan -j"$(nproc)"
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  LSAN_OPTIONS=suppressions="$PWD/tests/sanitizers/lsan.supp":print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2

  echo "== fuzzing"
  scripts/fuzz.sh "${KIVO_FUZZ_SECONDS:-60}"

  echo "== Windows cross-build"
  scripts/windows_build.sh
  scripts/windows_dist.sh

  echo "== Windows under Wine"
  # One prefix under build/ and one persistent wineserver for it: a server that wine starts
  # by itself would hold every run's output pipe open for seconds after the program ends.
  export WINEPREFIX=$PWD/build/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  cmake -S . -B build -DKIVO_WINE_PREFIX="$WINEPREFIX" \
    -DKIVO_WINDOWS_CLI="$PWD/build-windows/cli/kivo-dbupdate-cli.exe" \
    -DKIVO_WINDOWS_ZIP="$PWD/build-windows/kivo-dbupdate-windows-x64.zip" >/dev/null
  cmake --build build -j"$(nproc)" --target cli_e2e_tests
  mkdir -p "$WINEPREFIX"
  # A server that an interrupted run left on this prefix would refuse a second one.
  wineserver -k >/dev/null 2>&1 && wineserver -w
  wineserver -p >/dev/null 2>&1
  trap 'wineserver -k 2>/dev/null || true' EXIT
  trap 'exit 130' INT TERM
  started=$SECONDS
  timeout 300 wineboot --init >/dev/null 2>&1
  echo "Wine prefix ready in $((SECONDS - started)) s"
  started=$SECONDS
  ctest --test-dir build --output-on-failure -j2 -L windows
  echo "Windows tests took $((SECONDS - started)) s"
  wineserver -k 2>/dev/null || true
  trap - EXIT INT TERM
fi

echo "== tests"
ctest --test-dir build --output-on-failure -j2 -LE windows
