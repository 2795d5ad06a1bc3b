#!/bin/sh
# File: make_model.sh -- the whole recipe in one command: data, training, the choice on
# validation people, export, evaluation, samples. Usage (from anywhere):
#   tools/train/make_model.sh [--word PHRASE] [--out FILE.qelt] [--negatives FILE]
#                             [--recordings DIR] [--work DIR] [--data DIR] [DATA_DIR] [WORK_DIR]
# --word (default "computer", the bundled model) is the wake phrase, 1 to 4 English words.
# --out defaults to models/<slug>.qelt ("hey nova" -> models/hey_nova.qelt), the work folder
# to tools/train/work/<slug> (git-ignored), the data folder to ../shared/data (relative to
# the repository); a missing data folder means synthetic negatives and generated noise only.
# --negatives adds your own negatives (one phrase a line, # comments) to the look-alikes
# found by sound; --recordings adds your recordings of the phrase (any format libsndfile
# reads) as positives, split by file into training and validation.
# For a phrase other than "computer" the evaluation goes to <out>_eval/, the model card to
# <out without .qelt>.md and .json, the samples to <out>_samples/; for "computer" the
# evaluation goes to docs/ and, when OUT is models/computer.qelt, the samples to
# models/samples.
# Every stage is skipped when its output is in the work folder already (synth.json, the
# checkpoint at its last step, calibrated_*.pt, choice.json, export.json), so rerunning the
# command after an interruption resumes it; another phrase needs another work folder.
# Environment (the defaults are the recipe of the bundled model): STEPS (default 2400)
# training steps, SEED (default 9) the training run's seed,
# POOL_WEIGHT (default: train.py's) the weight of the pooled 2 s objective in training,
# WORD_LEVEL (default: train.py's) the per-frame logit the word's window is hinged to,
# LEVEL_WEIGHT (default: train.py's) the weight of that hinge and its mirror after the word,
# FLOOR_BOTH_SIDES=1 background frames held at the floor from above as well as below,
# BAND_WEIGHT (default: train.py's) the weight of that floor,
# GATED_HEAD (default 1; 0: the plain head) two embedding channels trained as gates (the
# word, the moment after it), zero for everything else, and a head (trained and fitted)
# that reads only them,
# GATE_PEAK_WEIGHT (default: train.py's) with it, the weight of each stream's most open
# background frame of the word gate,
# WORD_GATES (default 1) with it, the embedding channels trained as word gates,
# QUIET_WEIGHT (default: train.py's) the weight of background embeddings held near zero,
# P_REAL (default: train.py's) the share of training wake words from real recordings,
# P_RESET (default 0.1) the share of training and calibration streams that open
# with digital silence, as after a reset,
# CHOOSE_AVERAGE (default 1; 0: not a candidate) the moving average of the weights over the
# last few hundred steps competes in the choice with the final network,
# CHOOSE_SNAPSHOTS (default "1500"; empty: none) training steps whose snapshots (kept every
# SNAPSHOT_EVERY steps, default 500) are calibrated and compete in the choice with the final
# network ("1500 2000"; a step the run did not reach is left out), CHOOSE_TALK_HOURS
# (default 5) hours of the validation people's talk the choice sets the threshold on,
# FINETUNE_STEPS (default 0: skipped, see docs/MODEL.md), SCALE (default 1) synthetic clips
# per voice, OUT and DOCS as --out and the evaluation's folder, WITHOUT_SYNTH=1 no synthesis
# (only the real data and the neural voices, or your recordings; the evaluation is the
# listening condition alone). A quick run (tools/train/smoke.sh) also sets VOICES,
# LOOKALIKE_WORDS, REAL_PER_SOURCE, BATCH, VAL_STREAMS, VAL_EVERY, CALIBRATE_STREAMS,
# CALIBRATE_ITERS, CALIBRATE_NEGATIVE_MINUTES, CHOOSE_REPEATS,
# EVAL_TALK_HOURS, EVAL_REPEATS, EVAL_NEGATIVE_HOURS and EVAL_POSITIVES (see each script's
# --help). Heavy steps run under nice. The generated data never enters the repository.
set -eu
REPO=$(cd "$(dirname "$0")/../.." && pwd)
PY=/usr/bin/python3
T=$REPO/tools/train

usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
WORD=computer
NEGATIVES=""
RECORDINGS=""
DATA_ARG=""
WORK_ARG=""
POSITIONAL=0
while [ $# -gt 0 ]; do
  case "$1" in
    --word) WORD=$2; shift 2 ;;
    --word=*) WORD=${1#*=}; shift ;;
    --out) OUT=$2; shift 2 ;;
    --out=*) OUT=${1#*=}; shift ;;
    --negatives) NEGATIVES=$2; shift 2 ;;
    --negatives=*) NEGATIVES=${1#*=}; shift ;;
    --recordings) RECORDINGS=$2; shift 2 ;;
    --recordings=*) RECORDINGS=${1#*=}; shift ;;
    --work) WORK_ARG=$2; shift 2 ;;
    --work=*) WORK_ARG=${1#*=}; shift ;;
    --data) DATA_ARG=$2; shift 2 ;;
    --data=*) DATA_ARG=${1#*=}; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "make_model.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *)
      POSITIONAL=$((POSITIONAL + 1))
      case $POSITIONAL in
        1) DATA_ARG=$1 ;;
        2) WORK_ARG=$1 ;;
        *) echo "make_model.sh: too many arguments" >&2; exit 2 ;;
      esac
      shift ;;
  esac
done

# the phrase's file-name form, or its error when it is no phrase
SLUG=$($PY -c 'import sys; sys.path.insert(0, sys.argv[1])
from quelt_train import phrase
try:
  print(phrase.slug_of(sys.argv[2]))
except phrase.PhraseError as e:
  sys.exit(f"make_model.sh: {e}")' "$T" "$WORD")
DATA=${DATA_ARG:-$REPO/../shared/data}
if [ -d "$DATA" ]; then
  DATA=$(cd "$DATA" && pwd)
fi
[ -f "$DATA/manifest.csv" ] || echo "make_model.sh: no data folder at $DATA: synthetic" \
  "negatives and generated noise only" >&2
WORK=${WORK_ARG:-$REPO/tools/train/work/$SLUG}
OUT=${OUT:-$REPO/models/$SLUG.qelt}
BUNDLED=0
[ "$SLUG" = computer ] && BUNDLED=1
if [ $BUNDLED = 1 ]; then
  DOCS=${DOCS:-$REPO/docs}
else
  DOCS=${DOCS:-${OUT%.qelt}_eval}
fi
BUILD=${BUILD:-$REPO/build/train}
mkdir -p "$WORK" "$DOCS" "$(dirname "$OUT")"
echo "make_model.sh: wake phrase \"$WORD\", work folder $WORK, artefact $OUT"

cmake -S "$REPO" -B "$BUILD" -DQWW_BUILD_TESTS=OFF -DPython3_EXECUTABLE=$PY >/dev/null
nice -n 10 cmake --build "$BUILD" -j2 --target qelt-write quelt-wake-word
CLI="$BUILD/tools/cli/quelt-wake-word"
WRITER="$BUILD/tools/writer/qelt-write"

SYNTH=""
[ "${WITHOUT_SYNTH:-0}" = 1 ] && SYNTH="--without-synth"
# shellcheck disable=SC2086  # the optional flags are one word each or none
nice -n 10 $PY "$T/prepare_data.py" "$DATA" "$WORK" --word "$WORD" --scale "${SCALE:-1}" \
  ${NEGATIVES:+--negatives "$NEGATIVES"} ${RECORDINGS:+--recordings "$RECORDINGS"} \
  ${VOICES:+--voices "$VOICES"} ${LOOKALIKE_WORDS:+--lookalike-words "$LOOKALIKE_WORDS"} \
  ${REAL_PER_SOURCE:+--real-per-source "$REAL_PER_SOURCE"} $SYNTH
FLOOR_BOTH=""
[ "${FLOOR_BOTH_SIDES:-0}" = 1 ] && FLOOR_BOTH="--floor-both-sides"
GATED=""
[ "${GATED_HEAD:-1}" = 1 ] && GATED="--gated-head"
# shellcheck disable=SC2086
nice -n 10 $PY "$T/train.py" "$DATA" "$WORK" --steps "${STEPS:-2400}" \
  --snapshot-every "${SNAPSHOT_EVERY:-500}" --seed "${SEED:-9}" $SYNTH $GATED \
  ${GATE_PEAK_WEIGHT:+--gate-peak-weight "$GATE_PEAK_WEIGHT"} \
  ${WORD_GATES:+--word-gates "$WORD_GATES"} ${POOL_WEIGHT:+--pool-weight "$POOL_WEIGHT"} --p-reset "${P_RESET:-0.1}" \
  ${P_REAL:+--p-real "$P_REAL"} $FLOOR_BOTH \
  ${QUIET_WEIGHT:+--quiet-weight "$QUIET_WEIGHT"} ${WORD_LEVEL:+--word-level "$WORD_LEVEL"} \
  ${LEVEL_WEIGHT:+--level-weight "$LEVEL_WEIGHT"} ${BAND_WEIGHT:+--band-weight "$BAND_WEIGHT"} \
  ${BATCH:+--batch "$BATCH"} ${VAL_STREAMS:+--val-streams "$VAL_STREAMS"} \
  ${VAL_EVERY:+--val-every "$VAL_EVERY"}
CAL_OPTS="$GATED ${CALIBRATE_STREAMS:+--streams $CALIBRATE_STREAMS} --p-reset ${P_RESET:-0.1} \
${CALIBRATE_ITERS:+--iters $CALIBRATE_ITERS} ${VAL_STREAMS:+--val-streams $VAL_STREAMS} \
${CALIBRATE_NEGATIVE_MINUTES:+--negative-minutes $CALIBRATE_NEGATIVE_MINUTES}"
# shellcheck disable=SC2086
nice -n 10 $PY "$T/calibrate.py" "$DATA" "$WORK" $SYNTH $CAL_OPTS \
  --out "$WORK/calibrated_final.pt"
CANDIDATES="$WORK/calibrated_final.pt"
if [ "${CHOOSE_AVERAGE:-1}" = 1 ] && [ -f "$WORK/model_average.pt" ]; then
  # shellcheck disable=SC2086
  nice -n 10 $PY "$T/calibrate.py" "$DATA" "$WORK" $SYNTH $CAL_OPTS \
    --weights "$WORK/model_average.pt" --out "$WORK/calibrated_average.pt"
  CANDIDATES="$CANDIDATES $WORK/calibrated_average.pt"
fi
for s in ${CHOOSE_SNAPSHOTS-1500}; do
  snap=$(printf '%s/snapshot_%06d.pt' "$WORK" "$s")
  if [ ! -f "$snap" ]; then
    echo "make_model.sh: no snapshot of step $s (a shorter run): not a candidate" >&2
    continue
  fi
  # shellcheck disable=SC2086
  nice -n 10 $PY "$T/calibrate.py" "$DATA" "$WORK" $SYNTH $CAL_OPTS --weights "$snap" \
    --out "$WORK/calibrated_$s.pt"
  CANDIDATES="$CANDIDATES $WORK/calibrated_$s.pt"
done
# shellcheck disable=SC2086  # the candidates are one word each
nice -n 10 $PY "$T/choose.py" "$DATA" "$WORK" $CANDIDATES --cli "$CLI" --qelt-write "$WRITER" \
  --talk-hours "${CHOOSE_TALK_HOURS:-5}" \
  ${CHOOSE_REPEATS:+--repeats "$CHOOSE_REPEATS"}
if [ "${FINETUNE_STEPS:-0}" != 0 ]; then
  nice -n 10 $PY "$T/finetune.py" "$DATA" "$WORK" --steps "$FINETUNE_STEPS"
fi
$PY "$T/export.py" "$WORK" "$OUT" --qelt-write "$WRITER" --cli "$CLI"
EVAL_OPTS="${EVAL_TALK_HOURS:+--talk-hours $EVAL_TALK_HOURS} \
${EVAL_REPEATS:+--listening-repeats $EVAL_REPEATS}"
LISTENING_ONLY=""
[ -n "$SYNTH" ] && LISTENING_ONLY="--listening-only"
# shellcheck disable=SC2086
nice -n 10 $PY "$T/evaluate.py" "$DATA" "$WORK" "$OUT" --cli "$CLI" --docs "$DOCS" \
  $LISTENING_ONLY $EVAL_OPTS ${EVAL_NEGATIVE_HOURS:+--negative-limit-hours "$EVAL_NEGATIVE_HOURS"} \
  ${EVAL_POSITIVES:+--positive-limit "$EVAL_POSITIVES"}
CARD=""
[ $BUNDLED = 1 ] || CARD="--card"
# shellcheck disable=SC2086
nice -n 10 $PY "$T/evaluate.py" "$DATA" "$WORK" "$OUT" --cli "$CLI" --docs "$DOCS" \
  --listening-only --listening-split val $EVAL_OPTS $CARD
if [ "$OUT" = "$REPO/models/computer.qelt" ]; then
  $PY "$T/make_samples.py" "$REPO/models/samples"
elif [ $BUNDLED = 0 ] && [ "${SAMPLES:-1}" = 1 ]; then
  $PY "$T/make_samples.py" "${OUT%.qelt}_samples" --word "$WORD"
fi
if [ $BUNDLED = 0 ]; then
  CARD_MD="${OUT%.qelt}.md"
  if head -n 1 "$CARD_MD" | grep -q '^\*\*Not usable'; then
    echo "make_model.sh: WARNING: $OUT was written but is not usable; see $CARD_MD:" >&2
    head -n 1 "$CARD_MD" >&2
  else
    echo "make_model.sh: wrote $OUT; model card $CARD_MD"
  fi
fi
