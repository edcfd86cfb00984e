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
  scripts/windows_test.sh
fi

echo "== tests"
ctest --test-dir build --output-on-failure -j2 -LE windows
