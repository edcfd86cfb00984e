#!/usr/bin/env bash
# Sets up, builds and runs every test suite: the suite under AddressSanitizer (with leak
# checking) and UndefinedBehaviorSanitizer, bounded fuzzing, the Windows cross-build with its
# zip, the companion's end-to-end tests and the native window's tests under Wine, the .deb
# packages installed and run, and last the suite on the regular build, whose CTest summary
# closes the run. Each stage prints its duration at its end; the durations and the total come
# before that summary.
# Usage: scripts/test.sh [--quick]   (--quick: the regular suite only)
set -euo pipefail
cd "$(dirname "$0")/.."

durations=()
stage_started=$SECONDS
stage=""
begin() {
  stage=$1
  stage_started=$SECONDS
  echo "== $stage"
}
took() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
end() {
  local seconds=$((SECONDS - stage_started))
  durations+=("$stage $(took "$seconds")")
  echo "== $stage: $(took "$seconds")"
  stage=""
}
summary() {
  local line="== durations:" d
  for d in "${durations[@]}"; do line+=" $d,"; done
  echo "$line total $(took "$SECONDS")"
}
# A stage that fails still shows what the run had taken up to it.
trap 'if [[ -n "$stage" ]]; then end; summary; fi' EXIT

begin set-up
scripts/setup.sh --with-test-tools
end

if [[ "${1:-}" != "--quick" ]]; then
  begin sanitizers
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIVO_WERROR=ON \
    -DKIVO_SANITIZE=address,undefined >/dev/null
  cmake --build build-asan -j"$(nproc)"
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  LSAN_OPTIONS=suppressions="$PWD/tests/sanitizers/lsan.supp":print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2
  end

  begin fuzzing
  scripts/fuzz.sh "${KIVO_FUZZ_SECONDS:-60}"
  end

  begin "Windows cross-build"
  scripts/windows_build.sh
  scripts/windows_dist.sh
  end

  begin "Windows under Wine"
  scripts/windows_test.sh
  end

  begin packages
  scripts/package_test.sh
  end
fi

begin tests
log=build/ctest.log
status=0
ctest --test-dir build --output-on-failure -j2 -LE windows 2>&1 | tee "$log" || status=$?
end
summary
# CTest's own summary closes the run again, after the durations, where CI looks for it.
sed -n '/% tests passed, /,$p' "$log"
exit "$status"
