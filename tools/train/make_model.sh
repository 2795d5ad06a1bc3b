#!/bin/sh
# File: make_model.sh -- the whole recipe in one command: data, training, the choice on
# validation people, export, evaluation, samples. Usage (from anywhere):
#   tools/train/make_model.sh [DATA_DIR] [WORK_DIR]
# DATA_DIR defaults to ../shared/data (relative to the repository), WORK_DIR to
# tools/train/work (git-ignored). STEPS (default 4312) sets the per-frame training steps,
# SEED (default 7) the training run's seed (a second run with another seed and WORK_DIR
# gives the run-to-run spread; choose.py takes both runs' calibrated_final.pt),
# CHOOSE_SNAPSHOTS (default empty) training steps whose snapshots (kept every SNAPSHOT_EVERY
# steps, default 500) are calibrated and compete with the final network in the choice on
# validation people ("2000 3000 4000"),
# FINETUNE_STEPS (default 0: skipped, see docs/MODEL.md) the whole-network training steps on
# the pooled score, and SCALE (default 1) the number of synthetic clips per voice.
# OUT (default models/computer.qelt) is the artefact written and DOCS (default docs/) where
# the evaluation goes; the samples are remade only when OUT is the bundled model. With
# WITHOUT_SYNTH=1 nothing is synthesised: training and the head fit hear only the real data
# and the neural voices, and the evaluation is the listening condition alone (a smoke test).
# Heavy steps run under nice. The generated data never enters the repository.
set -eu
REPO=$(cd "$(dirname "$0")/../.." && pwd)
DATA=$(cd "${1:-$REPO/../shared/data}" && pwd)
WORK=${2:-$REPO/tools/train/work}
BUILD=${BUILD:-$REPO/build/train}
OUT=${OUT:-$REPO/models/computer.qelt}
DOCS=${DOCS:-$REPO/docs}
PY=/usr/bin/python3
T=$REPO/tools/train
mkdir -p "$WORK" "$DOCS"

cmake -S "$REPO" -B "$BUILD" -DQWW_BUILD_TESTS=OFF -DPython3_EXECUTABLE=$PY >/dev/null
nice -n 10 cmake --build "$BUILD" -j2 --target qelt-write quelt-wake-word
CLI="$BUILD/tools/cli/quelt-wake-word"
WRITER="$BUILD/tools/writer/qelt-write"

SYNTH=""
if [ "${WITHOUT_SYNTH:-0}" = 1 ]; then
  SYNTH="--without-synth"
else
  nice -n 10 $PY "$T/prepare_data.py" "$DATA" "$WORK" --scale "${SCALE:-1}"
fi
nice -n 10 $PY "$T/train.py" "$DATA" "$WORK" --steps "${STEPS:-4312}" \
  --snapshot-every "${SNAPSHOT_EVERY:-500}" --seed "${SEED:-7}" $SYNTH
nice -n 10 $PY "$T/calibrate.py" "$DATA" "$WORK" $SYNTH --out "$WORK/calibrated_final.pt"
CANDIDATES="$WORK/calibrated_final.pt"
for s in ${CHOOSE_SNAPSHOTS:-}; do
  snap=$(printf '%s/snapshot_%06d.pt' "$WORK" "$s")
  nice -n 10 $PY "$T/calibrate.py" "$DATA" "$WORK" $SYNTH --weights "$snap" \
    --out "$WORK/calibrated_$s.pt"
  CANDIDATES="$CANDIDATES $WORK/calibrated_$s.pt"
done
# shellcheck disable=SC2086  # the candidates are one word each
nice -n 10 $PY "$T/choose.py" "$DATA" "$WORK" $CANDIDATES --cli "$CLI" --qelt-write "$WRITER"
if [ "${FINETUNE_STEPS:-0}" != 0 ]; then
  nice -n 10 $PY "$T/finetune.py" "$DATA" "$WORK" --steps "$FINETUNE_STEPS"
fi
$PY "$T/export.py" "$WORK" "$OUT" --qelt-write "$WRITER" --cli "$CLI"
LISTENING_ONLY=""
[ -n "$SYNTH" ] && LISTENING_ONLY="--listening-only"
nice -n 10 $PY "$T/evaluate.py" "$DATA" "$WORK" "$OUT" --cli "$CLI" --docs "$DOCS" \
  $LISTENING_ONLY
nice -n 10 $PY "$T/evaluate.py" "$DATA" "$WORK" "$OUT" --cli "$CLI" --docs "$DOCS" \
  --listening-only --listening-split val
if [ "$OUT" = "$REPO/models/computer.qelt" ]; then
  $PY "$T/make_samples.py" "$REPO/models/samples"
fi
