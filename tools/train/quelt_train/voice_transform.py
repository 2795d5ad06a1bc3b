"""File: voice_transform.py -- new voices from the wake words already there: Praat's
"Change gender" (Debian praat, run in batch) shifts a clip's formants, as a longer or
shorter vocal tract would, and moves its pitch median and range, keeping its duration.

At synthesis time every positive clip of a training voice or person (synthetic, neural or
a real recording) may get transformed copies, stored with the other synthetic clips with
the transform's parameters in the index (`transform`). A copy keeps its source's voice or
speaker, so it lands in its source's split; validation and test sources get none, so the
held-out sets stay what they were. Praat is slow to start, so one process transforms a
whole batch (change_gender.praat).
"""

import math
import os
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import soundfile as sf

from . import voices_base

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "change_gender.praat")
SAMPLE_RATE = 16000
POSITIVE_KINDS = ("word", "lead")
# Roles of the real recordings' wake words, as their copies' kind in the index.
REAL_KINDS = {"precise_computer": "real_word", "precise_heycomputer": "real_lead",
              "ovos_mimic3_positive": "neural_word"}
BATCH = 400


def available():
  return "no praat on PATH" if shutil.which("praat") is None else None


def draw(rng):
  """A formant shift ratio (below 1: a longer tract), a pitch median that goes with it (a
  shorter tract speaks higher, 75 to 400 Hz) and a pitch range factor."""
  ratio = rng.uniform(0.85, 1.2)
  median = min(400.0, max(75.0, 160.0 * ratio**3 * math.exp(rng.uniform(-0.3, 0.3))))
  return {"formant_ratio": round(ratio, 3), "pitch_median": round(median, 1),
          "pitch_range": round(rng.uniform(0.5, 1.5), 2)}


def _run_batch(clips, params, tmpdir):
  """One Praat process over (clip, params) pairs; a clip Praat fails on is None and the rest
  of the batch runs again without it."""
  out = [None] * len(clips)
  start = 0
  while start < len(clips):
    ins, outs = [], []
    rows = ["in\tout\tformant_ratio\tpitch_median\tpitch_range"]
    for clip, p in zip(clips[start:], params[start:]):
      ins.append(voices_base.wav_path(tmpdir))
      outs.append(voices_base.wav_path(tmpdir))
      os.unlink(outs[-1])
      # at half scale, so that a transformed clip does not clip in Praat's 16-bit output
      x = np.asarray(clip, np.float64)
      sf.write(ins[-1], (0.5 * x / max(np.abs(x).max(), 1e-9)).astype(np.float32), SAMPLE_RATE,
               subtype="FLOAT")
      rows.append(f"{ins[-1]}\t{outs[-1]}\t{p['formant_ratio']}\t{p['pitch_median']}\t"
                  f"{p['pitch_range']}")
    jobs = voices_base.wav_path(tmpdir, ".tsv")
    with open(jobs, "w") as f:
      f.write("\n".join(rows) + "\n")
    try:
      subprocess.run(["praat", "--run", SCRIPT, jobs], capture_output=True,
                     timeout=60 + 2 * len(ins))
    except (subprocess.SubprocessError, OSError):
      pass
    done = 0
    for path in outs:
      if not os.path.exists(path):
        break
      out[start + done] = voices_base.read_16k(path)
      done += 1
    for path in ins + outs + [jobs]:
      if os.path.exists(path):
        os.unlink(path)
    start += done + 1  # the clip it stopped at is lost
  return out


def change_gender(clips, params, tmpdir, workers=2):
  """The clips (16 kHz float) transformed by their params, on `workers` Praat processes; a
  clip that failed is None."""
  size = max(1, min(BATCH, -(-len(clips) // workers)))  # every worker gets a batch
  batches = [(i, min(i + size, len(clips))) for i in range(0, len(clips), size)]
  with ThreadPoolExecutor(max_workers=workers) as pool:
    parts = list(pool.map(lambda b: _run_batch(clips[b[0]: b[1]], params[b[0]: b[1]], tmpdir),
                          batches))
  return [c for part in parts for c in part]


def real_positives(audio, index):
  """(clip, entry) of the decoded recordings' wake words (data.load_real's audio and index),
  the clips as float in [-1, 1]."""
  return [(np.asarray(audio[e["start"]: e["start"] + e["length"]], np.float64) / 32768.0, e)
          for e in index if e["source"] in REAL_KINDS]


def candidates(entries, real_entries):
  """Which clips may be transformed: (list, position) of every positive of a training
  voice or person."""
  from . import data  # data reads synthetic clips through synth, which uses this module
  out = [("synth", i) for i, e in enumerate(entries)
         if e["kind"] in POSITIVE_KINDS and data.synth_split(e) == "train"]
  out += [("real", i) for i, e in enumerate(real_entries)
          if e["source"] in REAL_KINDS and
          data.real_split(e["source"], e["speaker"], e["path"]) == "train"]
  return out


def transformed_copies(clips, entries, real, rng, share, real_copies, tmpdir, workers=2,
                       log=print):
  """Transformed copies of the training positives: of each synthetic clip (clips, entries:
  16 kHz float or None, index entries) with probability `share`, of each real one (real: a
  list of (clip, entry) of the decoded recordings) `real_copies` times. Returns the copies
  and their index entries, or nothing when Praat cannot run."""
  why_not = available()
  if why_not:
    log(f"voice transform: skipped, {why_not}")
    return [], []
  sources, params, meta = [], [], []
  real_entries = [e for _, e in real]
  for where, i in candidates(entries, real_entries):
    if where == "synth":
      if clips[i] is None or rng.random() >= share:
        continue
      sources.append(clips[i])
      params.append(draw(rng))
      meta.append(dict(entries[i], transform=params[-1]))
    else:
      e = real_entries[i]
      for _ in range(real_copies):
        sources.append(real[i][0])
        params.append(draw(rng))
        meta.append({"source": e["source"], "speaker": e["speaker"], "path": e["path"],
                     "kind": REAL_KINDS[e["source"]], "text": e["text"],
                     "transform": params[-1]})
  log(f"voice transform: {len(sources)} copies with Praat")
  return change_gender(sources, params, tmpdir, workers), meta
