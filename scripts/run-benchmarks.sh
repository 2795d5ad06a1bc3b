#!/usr/bin/env bash
# Builds every benchmark and runs them all (not part of CI): the kernels, the frontend,
# the session per frame and per second of audio, engine creation, heap per engine, the
# Python push, the callgrind instruction counts per frame, and the 24-hour soak.
# Results go to the terminal and to build/bench/results/. See docs/PERFORMANCE.md.
#
# Usage: scripts/run-benchmarks.sh [stage...]
#   stages: timings heap python callgrind soak   (default: all, soak last)
# Environment: SOAK_HOURS (default 24), BENCH_MIN_TIME (seconds per timing, default 0.5),
#   BUILD_DIR (default build/bench), CMAKE_ARGS (extra configure arguments, for example a
#   toolchain file; a cross build cannot run the python and callgrind stages).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/bench}
results="$build/results"
min_time=${BENCH_MIN_TIME:-0.5}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

configure() {
  local python=OFF
  [ -x /usr/bin/python3 ] && python=ON
  # shellcheck disable=SC2086
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQWW_BUILD_TESTS=OFF \
    -DQWW_BUILD_BENCHMARKS=ON -DQWW_BUILD_PYTHON="$python" -DQWW_BUILD_TOOLS=ON \
    -DPython3_EXECUTABLE=/usr/bin/python3 ${CMAKE_ARGS:-} >/dev/null
  cmake --build "$build" -j "$jobs"
  mkdir -p "$results"
}

machine() {
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) CPUs," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg), $(uname -m)"
}

stage_timings() {
  for b in ops_bench frontend_bench session_bench; do
    local exe
    exe=$(find "$build/benchmarks" -name "$b" -type f -perm -u+x | head -1)
    echo "--- $b"
    "$exe" --benchmark_min_time="$min_time" | tee "$results/$b.txt"
  done
}

stage_heap() {
  "$build/benchmarks/engine/heap_bench" | tee "$results/heap_bench.txt"
}

stage_python() {
  if [ ! -d "$build/python" ]; then
    echo "python stage skipped: the module was not built"
    return
  fi
  "$build/tools/make_random_model/make-random-model" --seed 11 -o "$results/random.qelt"
  /usr/bin/python3 benchmarks/python/bench_conversion.py "$build/python" "$results/random.qelt" |
    tee "$results/python_bench.txt"
}

# Instructions per frame, from callgrind's counts: repeatable to the instruction on any
# machine, however loaded. frame_cost dumps creation and a 20 s push as two profiles.
stage_callgrind() {
  if ! command -v valgrind >/dev/null; then
    echo "callgrind stage skipped: valgrind is not installed"
    return
  fi
  local dir="$results/callgrind"
  rm -rf "$dir" && mkdir -p "$dir"
  local frames
  frames=$(cd "$dir" && valgrind --tool=callgrind --collect-atstart=no \
    "$OLDPWD/$build/benchmarks/engine/frame_cost" 20 2>/dev/null | awk '/^frames/ {print $2}')
  local create push
  create=$(ls "$dir"/callgrind.out.*.1)
  push=$(ls "$dir"/callgrind.out.*.2)
  {
    echo "callgrind instruction counts ($(valgrind --version)); $(machine)"
    echo "creation from artefact bytes (decryption, build, 200-frame warm-up):"
    callgrind_annotate "$create" | awk '/PROGRAM TOTALS/ {print "  " $1 " instructions"}'
    echo "push of 20 s of i16 audio, $frames frames; instructions per frame:"
    callgrind_annotate --inclusive=yes --auto=no --threshold=100 "$push" | awk -v n="$frames" '
      # The first (inclusive) line of each function, printed in pipeline order.
      function take(key, count) { if (!(key in c)) c[key] = count }
      { gsub(",", "", $1) }
      /PROGRAM TOTALS/ { take("whole push", $1) }
      /preemphasize/ { take("  preemphasize", $1) }
      /frontend::process_frame\(/ { take("  process_frame", $1) }
      /fft_in_place/ { take("    fft_in_place", $1) }
      /magnitude_spectrum/ { take("    magnitude_spectrum", $1) }
      /frontend::project_mel\(quelt::Simd/ { take("    project_mel", $1) }
      /log_compress/ { take("    log_compress", $1) }
      /nn::network_step\(/ { take("  network_step", $1) }
      /::pointwise_conv\(/ { take("    pointwise_conv (10 calls)", $1) }
      /::depthwise_frames\(/ { take("    depthwise_frames (8 calls)", $1) }
      /::layer_norm\(/ { take("    layer_norm (18 calls)", $1) }
      /pool_push/ { take("  pool_push (with the head)", $1) }
      END {
        split("whole push|  preemphasize|  process_frame|    fft_in_place|    magnitude_spectrum|" \
              "    project_mel|    log_compress|  network_step|    pointwise_conv (10 calls)|" \
              "    depthwise_frames (8 calls)|    layer_norm (18 calls)|  pool_push (with the head)",
              order, "|")
        for (i = 1; i in order; ++i) if (order[i] in c) printf "  %-34s %9.0f\n", order[i], c[order[i]] / n
      }'
  } | tee "$results/callgrind.txt"
}

stage_soak() {
  "$build/benchmarks/engine/soak_bench" --hours="${SOAK_HOURS:-24}" 2>&1 |
    tee "$results/soak_bench.txt"
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(timings heap python callgrind soak)
configure
machine | tee "$results/machine.txt"
for s in "${stages[@]}"; do
  echo "=== $s ==="
  "stage_$s"
done
