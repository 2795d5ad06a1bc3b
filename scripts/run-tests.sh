#!/usr/bin/env bash
# Builds and runs every test: x86-64 (warnings as errors), AddressSanitizer +
# UndefinedBehaviorSanitizer, and the AArch64 cross build under qemu-aarch64.
# Usage: scripts/run-tests.sh [stage...]   (default: all stages)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

stage_host() {
  cmake --preset ci
  cmake --build --preset ci -j "$jobs"
  ctest --preset ci
  scripts/check-python-imports.sh build/ci/python
}
stage_sanitizers() {
  cmake --preset asan-ubsan
  cmake --build --preset asan-ubsan -j "$jobs"
  ctest --preset asan-ubsan
}
stage_aarch64() {
  cmake --preset aarch64
  cmake --build --preset aarch64 -j "$jobs"
  ctest --preset aarch64
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host sanitizers aarch64)
for s in "${stages[@]}"; do
  echo "=== stage: $s ==="
  start=$SECONDS
  "stage_$s"
  echo "=== stage $s passed in $((SECONDS - start)) s ==="
done
