"""File: synth.py -- renders the synthetic speech of the training set.

Every English voice of the Debian synthesisers (espeak-ng, flite and festival here, and the
engines of voices.py: RHVoice, SVOX Pico, GnuSpeech, mbrola) speaks the wake phrase alone (its
word forms), after a lead-in ("okay computer"), look-alike words and ordinary sentences, with
random rate, pitch and emphasis; what is said comes from the phrase (phrase.py) and the
look-alikes found for it (lookalikes.py). Then Praat's voice transform (voice_transform.py)
adds copies of training wake words, real and synthetic, spoken by other vocal tracts. The
clips are trimmed to their speech, resampled to 16 kHz, and stored per voice group as int16
arrays with a JSON index. A voice is the unit of the train/validation/test split, so every
clip records the voice that spoke it.
"""

import json
import os
import random
import shutil
import subprocess
import tempfile
from concurrent.futures import ProcessPoolExecutor
from math import gcd

import numpy as np
import soundfile as sf
from scipy.signal import resample_poly

from . import voice_transform, voices
from .progress import Progress

SAMPLE_RATE = 16000
ESPEAK_ACCENTS = ["en-us", "en-gb", "en-gb-scotland", "en-gb-x-gbclan", "en-gb-x-rp",
                  "en-gb-x-gbcwmd", "en-029", "en-us-nyc"]
ESPEAK_VARIANT_DIR = "/usr/lib/x86_64-linux-gnu/espeak-ng-data/voices/!v"
FLITE_VOICES = ["kal", "kal16", "awb", "rms", "slt"]
FESTIVAL_VOICES = ["kal_diphone", "ked_diphone", "cmu_us_slt_arctic_hts"]
# Share of the synthetic training wake words given a transformed copy, and the number of
# copies of each real one (there are few of them).
TRANSFORM_SHARE = 0.5
REAL_TRANSFORMS = 3


def espeak_variants():
  """The variant names installed with espeak-ng ("" is the accent's plain voice)."""
  try:
    names = sorted(os.listdir(ESPEAK_VARIANT_DIR))
  except OSError:
    names = []
  return [""] + names


def to_16k(audio, rate):
  audio = np.asarray(audio, dtype=np.float64)
  if audio.ndim == 2:
    audio = audio.mean(axis=1)
  if rate != SAMPLE_RATE:
    g = gcd(rate, SAMPLE_RATE)
    audio = resample_poly(audio, SAMPLE_RATE // g, rate // g)
  return audio


def trim(audio, rel_db=-40.0, pad=0.02):
  """Cuts leading and trailing silence: 10 ms blocks below rel_db of the loudest one."""
  hop = 160
  n = len(audio) // hop
  if n == 0:
    return audio[:0]
  energy = (audio[: n * hop].reshape(n, hop) ** 2).mean(axis=1)
  loud = np.nonzero(energy > energy.max() * 10 ** (rel_db / 10))[0]
  if len(loud) == 0:
    return audio[:0]
  p = int(pad * SAMPLE_RATE)
  return audio[max(0, loud[0] * hop - p): min(len(audio), (loud[-1] + 1) * hop + p)]


def trim_recording(audio, pad=0.02):
  """Cuts a microphone recording to its speech. A recording holds its room as well: a floor
  of noise 20 to 30 dB under the word, often less, which a cut relative to the loudest block
  alone keeps whole (a 2 s take of a 0.7 s word would then "end" a second after the word).
  The floor is the quietest tenth of the take's 30 ms energies; the speech runs from the
  first to the last block halfway (in dB) between floor and peak, widened while the energy
  stays 6 dB over the floor (the word's weak ends), at most 0.3 s each side. A take with no
  floor (digital silence around the word) is cut as trim(rel_db=-30) cuts it."""
  hop = 160
  n = len(audio) // hop
  if n == 0:
    return audio[:0]
  energy = (audio[: n * hop].reshape(n, hop) ** 2).mean(axis=1)
  if energy.max() <= 0:
    return audio[:0]
  db = 10 * np.log10(np.convolve(energy, np.ones(3) / 3, mode="same") + 1e-20)
  peak, floor = db.max(), np.percentile(db, 10)
  if floor < peak - 45:
    return trim(audio, rel_db=-30, pad=pad)
  loud = np.nonzero(db >= (peak + floor) / 2)[0]
  first, last = loud[0], loud[-1]
  reach = int(0.3 * SAMPLE_RATE) // hop
  weak = floor + 6
  lo = first
  while lo > 0 and first - lo < reach and db[lo - 1] > weak:
    lo -= 1
  hi = last
  while hi < n - 1 and hi - last < reach and db[hi + 1] > weak:
    hi += 1
  p = int(pad * SAMPLE_RATE)
  return audio[max(0, lo * hop - p): min(len(audio), (hi + 1) * hop + p)]


def finish(audio):
  """Peak-normalises a trimmed clip to -3 dBFS and converts it to int16."""
  peak = np.max(np.abs(audio)) if len(audio) else 0.0
  if peak <= 1e-4:
    return None
  return np.round(audio / peak * 0.7 * 32767).astype(np.int16)


def render_espeak(job):
  voice, text, speed, pitch, path = job
  subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-p", str(pitch), "-w", path, text],
                 check=True, capture_output=True, timeout=60)


def render_flite(job):
  voice, text, stretch, f0, path = job
  cmd = ["flite", "-voice", voice, "--setf", f"duration_stretch={stretch:.2f}"]
  if f0:
    cmd += ["--setf", f"int_f0_target_mean={f0}"]
  subprocess.run(cmd + ["-t", text, "-o", path], check=True, capture_output=True, timeout=60)


def _run_one(args):
  kind, job = args
  try:
    (render_espeak if kind == "espeak" else render_flite)(job)
    audio, rate = sf.read(job[-1], dtype="float64")
    os.unlink(job[-1])
    return finish(trim(to_16k(audio, rate)))
  except (subprocess.SubprocessError, RuntimeError, OSError):
    return None


def render_festival_batch(voice, items, tmpdir):
  """Festival is slow to start, so one process renders all clips of one voice."""
  lines = [f"(voice_{voice})"]
  paths = []
  for i, (text, stretch) in enumerate(items):
    path = os.path.join(tmpdir, f"fest_{voice}_{i}.wav")
    safe = text.replace('"', "").replace("\\", "")
    lines.append(f"(Parameter.set 'Duration_Stretch {stretch:.2f})")
    lines.append(f'(utt.save.wave (SynthText "{safe}") "{path}" \'riff)')
    paths.append(path)
  script = os.path.join(tmpdir, f"fest_{voice}.scm")
  with open(script, "w") as f:
    f.write("\n".join(lines) + "\n")
  subprocess.run(["festival", "-b", script], capture_output=True, timeout=3600)
  out = []
  for path in paths:
    try:
      audio, rate = sf.read(path, dtype="float64")
      out.append(finish(trim(to_16k(audio, rate))))
      os.unlink(path)
    except (RuntimeError, OSError):
      out.append(None)
  return out


class Texts:
  """What the voices say: the phrase's word forms and lead-ins, look-alikes, sentences."""

  def __init__(self, forms, lead_ins, confusables, sentences):
    self.forms, self.lead_ins = list(forms), list(lead_ins)
    self.confusables, self.sentences = list(confusables), list(sentences)


def plan_items(rng, texts, n_word, n_lead, n_sent, n_conf):
  """The (kind, text) list one voice speaks."""
  items = [("word", rng.choice(texts.forms)) for _ in range(n_word)]
  items += [("lead", rng.choice(texts.lead_ins)) for _ in range(n_lead)]
  items += [("neg", rng.choice(texts.sentences)) for _ in range(n_sent)]
  items += [("conf", rng.choice(texts.confusables)) for _ in range(n_conf)]
  return items


def synthesise(out_dir, texts, scale=1.0, seed=1234, workers=2, log=print, variants=None,
               engine_voices=None, real_positives=()):
  """Renders every voice and writes out_dir/synth_audio.npy (audio) and synth.json (index).
  texts: a Texts. variants: the espeak-ng variants to use (default all); engine_voices: at
  most this many flite and festival voices each (default all), for a quick run, which also
  leaves out the engines of voices.py. real_positives: (clip, entry) of the real wake words
  to transform too (voice_transform.real_positives)."""
  rng = random.Random(seed)
  variants = espeak_variants() if variants is None else variants
  flite_voices = FLITE_VOICES[:engine_voices] if engine_voices is not None else FLITE_VOICES
  festival_voices = (FESTIVAL_VOICES[:engine_voices] if engine_voices is not None
                     else FESTIVAL_VOICES)
  os.makedirs(out_dir, exist_ok=True)
  tmpdir = tempfile.mkdtemp(prefix="synth_", dir=out_dir)
  sc = lambda n: max(1, int(round(n * scale)))
  jobs, meta = [], []
  for accent in ESPEAK_ACCENTS:
    for variant in variants:
      voice = accent + ("+" + variant if variant else "")
      for kind, text in plan_items(rng, texts, sc(3), sc(1), sc(4), sc(2)):
        path = os.path.join(tmpdir, f"e{len(jobs)}.wav")
        jobs.append(("espeak", (voice, text, rng.randint(110, 210), rng.randint(20, 85), path)))
        meta.append({"synth": "espeak", "voice": voice, "accent": accent,
                     "variant": variant or "base", "kind": kind, "text": text})
  for voice in flite_voices:
    for kind, text in plan_items(rng, texts, sc(80), sc(25), sc(150), sc(50)):
      path = os.path.join(tmpdir, f"f{len(jobs)}.wav")
      f0 = rng.choice([0, 0, rng.randint(80, 220)])
      jobs.append(("flite", (voice, text, rng.uniform(0.8, 1.35), f0, path)))
      meta.append({"synth": "flite", "voice": "flite_" + voice, "accent": "flite",
                   "variant": voice, "kind": kind, "text": text})
  log(f"synthesising {len(jobs)} espeak-ng/flite clips with {workers} workers")
  clips = []
  steps = Progress("synthesis", len(jobs) + len(festival_voices) * sum(
      sc(n) for n in (80, 25, 120, 50)))
  with ProcessPoolExecutor(max_workers=workers) as pool:
    for i, clip in enumerate(pool.map(_run_one, jobs, chunksize=32)):
      clips.append(clip)
      if i % 500 == 0:
        steps.update(i, clips_kept=sum(c is not None for c in clips))
  for voice in festival_voices:
    items = plan_items(rng, texts, sc(80), sc(25), sc(120), sc(50))
    steps.update(len(clips), festival=voice)
    rendered = render_festival_batch(voice, [(t, rng.uniform(0.8, 1.3)) for _, t in items], tmpdir)
    for (kind, text), clip in zip(items, rendered):
      clips.append(clip)
      meta.append({"synth": "festival", "voice": "festival_" + voice, "accent": "festival",
                   "variant": voice, "kind": kind, "text": text})
  if engine_voices is None:
    plan = lambda r, counts: plan_items(r, texts, *map(sc, counts))
    for clip, entry in voices.render_engines(plan, seed, tmpdir, workers, log):
      clips.append(None if clip is None else finish(trim(clip)))
      meta.append(entry)
  copies, copy_meta = voice_transform.transformed_copies(
      clips, meta, real_positives, random.Random(f"{seed}:transform"), TRANSFORM_SHARE,
      REAL_TRANSFORMS, tmpdir, workers, log)
  clips += [None if c is None else finish(trim(c)) for c in copies]
  meta += copy_meta
  steps.update(len(clips), clips_kept=sum(c is not None for c in clips))
  keep = [i for i, c in enumerate(clips) if c is not None and len(c) >= 1600]
  offsets = np.cumsum([0] + [len(clips[i]) for i in keep])
  audio = np.concatenate([clips[i] for i in keep]) if keep else np.zeros(0, np.int16)
  index = [dict(meta[i], start=int(offsets[j]), length=int(len(clips[i])))
           for j, i in enumerate(keep)]
  np.save(os.path.join(out_dir, "synth_audio.npy"), audio)
  with open(os.path.join(out_dir, "synth.json"), "w") as f:
    json.dump(index, f)
  shutil.rmtree(tmpdir, ignore_errors=True)
  log(f"kept {len(keep)} of {len(clips)} clips, {len(audio) / SAMPLE_RATE / 3600:.2f} h")
  return audio, index
