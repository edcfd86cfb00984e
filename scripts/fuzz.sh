#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on a copy of its
# seed corpus. Usage: scripts/fuzz.sh [SECONDS_EACH]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIVO_BUILD_FUZZ=ON -DKIVO_BUILD_GUI=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for target in build-fuzz/tests/fuzz/fuzz_*; do
  name=$(basename "$target")
  seeds="tests/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  echo "== $name for ${seconds}s"
  # -timeout flags any single input that takes more than a second: inputs are small and every
  # target is meant to run in linear time.
  "$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="build-fuzz/$name-" -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
