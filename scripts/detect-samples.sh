#!/usr/bin/env bash
# The main job: builds the command-line tool and detects the wake word "computer" in the
# bundled sample audio with the bundled model, printing one line per detection
# (file, time in seconds, score). Extra arguments go to `quelt-wake-word detect`, e.g. your
# own WAV files, or `-` for raw 16 kHz mono s16le on standard input.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DQWW_BUILD_TESTS=OFF >/dev/null
cmake --build build/main -j "$(nproc)" --target quelt-wake-word >/dev/null
if [ $# -eq 0 ]; then
  set -- models/samples/*.wav
fi
echo "file	time_s	score"
build/main/tools/cli/quelt-wake-word detect "$@"
