#!/usr/bin/env bash
# Builds and runs every test: x86-64 (warnings as errors), AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer (the tests labelled threads), and the
# AArch64 cross build (C library, Python module, CLI) under qemu-aarch64, each libFuzzer
# target for a minute, and the training recipe (its tests and a tiny run end to end).
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
stage_tsan() {
  # Only the threads-labelled tests run (and the fixtures that make their models).
  cmake --preset tsan
  cmake --build --preset tsan -j "$jobs"
  ctest --preset tsan
}
# The AArch64 python3.11 that runs the Python tests under qemu-aarch64, unpacked into
# build/aarch64-python: installing python3.11-minimal:arm64 would replace the host's
# interpreter. Its standard library is libpython3.11-stdlib:arm64, which install-deps.sh
# installs (with libpython3.11-dev:arm64) in the same version as the host's; the
# interpreter is fetched in that version too.
unpack_aarch64_python() {
  local root=build/aarch64-python version
  version=$(dpkg-query -W -f='${Version}' libpython3.11-minimal:arm64)
  if [ -x "$root/usr/bin/python3.11" ] && [ "$(cat "$root/version" 2>/dev/null)" = "$version" ]; then
    return
  fi
  rm -rf "$root"
  mkdir -p "$root/download"
  (cd "$root/download" && apt-get download "python3.11-minimal:arm64=$version")
  dpkg-deb -x "$root"/download/python3.11-minimal_*_arm64.deb "$root"
  echo "$version" > "$root/version"
}

stage_aarch64() {
  # C library, Python module and command-line tool, each tested under qemu; the golden
  # scores test holds them to the x86-64 scores bit for bit.
  unpack_aarch64_python
  cmake --preset aarch64
  cmake --build --preset aarch64 -j "$jobs"
  ctest --preset aarch64
}

stage_fuzz() {
  # Each libFuzzer target fuzz/<name>_fuzz.cc runs for a minute under ASan and UBSan,
  # starting from its seed corpus (target <name>_fuzz_seeds writes build/fuzz/fuzz/
  # <name>_seeds). A crash, sanitizer report, leak, timeout or out-of-memory fails CI; the
  # input that caused it is kept in build/fuzz/artifacts/.
  cmake --preset fuzz
  local names=() targets=()
  for source in fuzz/*_fuzz.cc; do
    local name
    name=$(basename "$source" .cc)
    names+=("$name")
    targets+=("$name" "${name}_seeds")
  done
  cmake --build --preset fuzz -j "$jobs" --target "${targets[@]}"
  mkdir -p build/fuzz/artifacts
  for name in "${names[@]}"; do
    local corpus="build/fuzz/corpus/${name%_fuzz}"
    mkdir -p "$corpus"
    "build/fuzz/fuzz/$name" -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
      "$corpus" "build/fuzz/fuzz/${name%_fuzz}_seeds"
  done
}

stage_train() {
  # The training recipe's tests (about 30 s on 2 cores), then the whole recipe for a new
  # phrase on a tiny budget, from synthesis to the engine loading its model (about 2 min;
  # it uses ../shared/data when present, else synthetic negatives and generated noise).
  cmake -S . -B build/train -DQWW_BUILD_TESTS=OFF -DPython3_EXECUTABLE=/usr/bin/python3
  cmake --build build/train -j "$jobs" --target qelt-write quelt-wake-word
  /usr/bin/python3 -m pytest -q tools/train/tests
  BUILD=build/train tools/train/smoke.sh
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host sanitizers tsan aarch64 fuzz train)
for s in "${stages[@]}"; do
  echo "=== stage: $s ==="
  start=$SECONDS
  "stage_$s"
  echo "=== stage $s passed in $((SECONDS - start)) s ==="
done
