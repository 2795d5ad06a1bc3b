#!/bin/sh
# File: smoke.sh -- the whole recipe for a new phrase on a tiny budget, end to end: data
# (look-alikes, a few voices), a few dozen training steps, calibration, the choice,
# export, one evaluation with its model card, and the engine loading the model
# (quelt-wake-word info) and running it over a sample (detect). The model is not meant to
# work; the run shows that every stage does. Usage: tools/train/smoke.sh [WORK_DIR]
# (default: a fresh temporary folder, removed afterwards). Uses the data folder
# (SMOKE_DATA, default ../shared/data) when it is there, else synthetic negatives and
# generated noise. Installs nothing.
set -eu
REPO=$(cd "$(dirname "$0")/../.." && pwd)
KEEP=1
WORK=${1:-}
if [ -z "$WORK" ]; then
  WORK=$(mktemp -d /tmp/quelt-smoke.XXXXXX)
  KEEP=0
fi
OUT_DIR="$WORK/out"
mkdir -p "$OUT_DIR"
start=$(date +%s)
env STEPS=30 SNAPSHOT_EVERY=0 SCALE=0.12 VOICES=3 LOOKALIKE_WORDS=2000 REAL_PER_SOURCE=24 \
  BATCH=8 VAL_STREAMS=8 VAL_EVERY=1000 CALIBRATE_STREAMS=24 CALIBRATE_ITERS=40 \
  CALIBRATE_NEGATIVE_MINUTES=2 CHOOSE_TALK_HOURS=0.03 CHOOSE_REPEATS=1 EVAL_TALK_HOURS=0.03 \
  EVAL_REPEATS=1 EVAL_NEGATIVE_HOURS=0.05 EVAL_POSITIVES=24 BUILD="${BUILD:-$REPO/build/train}" \
  "$REPO/tools/train/make_model.sh" --word "hey nova" --out "$OUT_DIR/hey_nova.qelt" \
  --work "$WORK/work" --data "${SMOKE_DATA:-$REPO/../shared/data}"
CLI="${BUILD:-$REPO/build/train}/tools/cli/quelt-wake-word"
"$CLI" info "$OUT_DIR/hey_nova.qelt" | tee "$WORK/info.txt"
grep -qx "wake word: *hey nova" "$WORK/info.txt"
"$CLI" detect --model "$OUT_DIR/hey_nova.qelt" "$OUT_DIR/hey_nova_samples/hey_nova.wav"
test -s "$OUT_DIR/hey_nova.md" && test -s "$OUT_DIR/hey_nova.json"
grep -q '"recipe_version"' "$OUT_DIR/hey_nova.json"
echo "smoke.sh: the recipe ran end to end in $(( $(date +%s) - start )) s"
[ $KEEP = 1 ] || rm -rf "$WORK"
