#!/usr/bin/env bash
# The main job: builds the command-line tool and detects the wake word "computer" in the
# bundled sample audio with the bundled model, printing one tab-separated line per
# detection (file, wake word, time in seconds, score). Extra arguments go to
# `quelt-wake-word detect`, e.g. your own WAV files, `-` for raw 16 kHz mono s16le on
# standard input, or `--model FILE` (again for more models) before them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DQWW_BUILD_TESTS=OFF >/dev/null
cmake --build build/main -j "$(nproc)" --target quelt-wake-word >/dev/null
if [ $# -eq 0 ]; then
  set -- models/samples/*.wav
fi
echo "file	wake_word	time_s	score"
build/main/tools/cli/quelt-wake-word detect "$@"
