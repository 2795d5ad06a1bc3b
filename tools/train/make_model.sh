#!/bin/sh
# File: make_model.sh -- the whole recipe in one command: data, training, export, evaluation,
# samples. Usage (from anywhere):
#   tools/train/make_model.sh [DATA_DIR] [WORK_DIR]
# DATA_DIR defaults to ../shared/data (relative to the repository), WORK_DIR to
# tools/train/work (git-ignored). STEPS (default 4312, as for the bundled model; longer
# training heard real people worse, see docs/MODEL.md) sets the per-frame training steps,
# FINETUNE_STEPS (default 0: skipped, see docs/MODEL.md) the whole-network training steps on
# the pooled score, and SCALE (default 1) the number of synthetic clips per voice.
# Heavy steps run under nice. The generated data never enters the repository.
set -eu
REPO=$(cd "$(dirname "$0")/../.." && pwd)
DATA=$(cd "${1:-$REPO/../shared/data}" && pwd)
WORK=${2:-$REPO/tools/train/work}
BUILD=${BUILD:-$REPO/build/train}
PY=/usr/bin/python3
mkdir -p "$WORK"

cmake -S "$REPO" -B "$BUILD" -DQWW_BUILD_TESTS=OFF -DPython3_EXECUTABLE=$PY >/dev/null
nice -n 10 cmake --build "$BUILD" -j2 --target qelt-write quelt-wake-word
CLI="$BUILD/tools/cli/quelt-wake-word"

nice -n 10 $PY "$REPO/tools/train/prepare_data.py" "$DATA" "$WORK" --scale "${SCALE:-1}"
nice -n 10 $PY "$REPO/tools/train/train.py" "$DATA" "$WORK" --steps "${STEPS:-4312}"
nice -n 10 $PY "$REPO/tools/train/calibrate.py" "$DATA" "$WORK"
if [ "${FINETUNE_STEPS:-0}" != 0 ]; then
  nice -n 10 $PY "$REPO/tools/train/finetune.py" "$DATA" "$WORK" --steps "$FINETUNE_STEPS"
fi
$PY "$REPO/tools/train/export.py" "$WORK" "$REPO/models/computer.qelt" \
  --qelt-write "$BUILD/tools/writer/qelt-write" --cli "$CLI"
nice -n 10 $PY "$REPO/tools/train/evaluate.py" "$DATA" "$WORK" "$REPO/models/computer.qelt" \
  --cli "$CLI" --docs "$REPO/docs"
$PY "$REPO/tools/train/make_samples.py" "$REPO/models/samples"
