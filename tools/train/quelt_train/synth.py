"""File: synth.py -- renders the synthetic speech of the training set.

Every English voice of the Debian synthesisers (espeak-ng, flite and festival here, and the
engines of voices.py: RHVoice, SVOX Pico, GnuSpeech, mbrola) speaks the wake word alone, the
wake word after a lead-in ("okay computer"), look-alike words and ordinary sentences, with
random rate, pitch and emphasis; then Praat's voice transform (voice_transform.py) adds
copies of training wake words, real and synthetic, spoken by other vocal tracts. The clips
are trimmed to their speech, resampled to 16 kHz, and stored per voice group as int16
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

SAMPLE_RATE = 16000
WAKE_WORD = "computer"
WORD_FORMS = ["computer", "computer.", "computer!", "computer?", "computer,", "Computer."]
LEAD_INS = ["okay computer", "hey computer", "hello computer", "so, computer", "yes computer",
            "alright computer", "okay, computer.", "hey, computer!"]
CONFUSABLES = [
    "commuter", "compute", "computing", "competitor", "come put her", "complete her",
    "computed", "commute", "compuserve", "competent", "composer", "commuters",
    "compete", "completer", "come pewter", "cute", "pewter", "computation", "competition",
    "compost", "come here", "copy that", "comfort her", "commander", "company", "conductor",
    "the commuter train was late", "please compute the total", "a fierce competitor",
    "come put her coat on", "complete her homework", "computing power is cheap",
]
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


def plan_items(rng, sentences, n_word, n_lead, n_sent, n_conf):
  """The (kind, text) list one voice speaks."""
  items = [("word", rng.choice(WORD_FORMS)) for _ in range(n_word)]
  items += [("lead", rng.choice(LEAD_INS)) for _ in range(n_lead)]
  items += [("neg", rng.choice(sentences)) for _ in range(n_sent)]
  items += [("conf", rng.choice(CONFUSABLES)) for _ in range(n_conf)]
  return items


def synthesise(out_dir, sentences, scale=1.0, seed=1234, workers=2, log=print,
                real_positives=()):
  """Renders every voice and writes out_dir/synth.npz (audio) and synth.json (index).
  real_positives: (clip, entry) of the real wake words to transform too
  (voice_transform.real_positives)."""
  rng = random.Random(seed)
  os.makedirs(out_dir, exist_ok=True)
  tmpdir = tempfile.mkdtemp(prefix="synth_", dir=out_dir)
  sc = lambda n: max(1, int(round(n * scale)))
  jobs, meta = [], []
  for accent in ESPEAK_ACCENTS:
    for variant in espeak_variants():
      voice = accent + ("+" + variant if variant else "")
      for kind, text in plan_items(rng, sentences, sc(3), sc(1), sc(4), sc(2)):
        path = os.path.join(tmpdir, f"e{len(jobs)}.wav")
        jobs.append(("espeak", (voice, text, rng.randint(110, 210), rng.randint(20, 85), path)))
        meta.append({"synth": "espeak", "voice": voice, "accent": accent,
                     "variant": variant or "base", "kind": kind, "text": text})
  for voice in FLITE_VOICES:
    for kind, text in plan_items(rng, sentences, sc(80), sc(25), sc(150), sc(50)):
      path = os.path.join(tmpdir, f"f{len(jobs)}.wav")
      f0 = rng.choice([0, 0, rng.randint(80, 220)])
      jobs.append(("flite", (voice, text, rng.uniform(0.8, 1.35), f0, path)))
      meta.append({"synth": "flite", "voice": "flite_" + voice, "accent": "flite",
                   "variant": voice, "kind": kind, "text": text})
  log(f"synthesising {len(jobs)} espeak-ng/flite clips with {workers} workers")
  clips = []
  with ProcessPoolExecutor(max_workers=workers) as pool:
    for i, clip in enumerate(pool.map(_run_one, jobs, chunksize=32)):
      clips.append(clip)
      if i % 1000 == 0:
        log(f"  {i}/{len(jobs)}")
  for voice in FESTIVAL_VOICES:
    items = plan_items(rng, sentences, sc(80), sc(25), sc(120), sc(50))
    log(f"festival {voice}: {len(items)} clips")
    rendered = render_festival_batch(voice, [(t, rng.uniform(0.8, 1.3)) for _, t in items], tmpdir)
    for (kind, text), clip in zip(items, rendered):
      clips.append(clip)
      meta.append({"synth": "festival", "voice": "festival_" + voice, "accent": "festival",
                   "variant": voice, "kind": kind, "text": text})
  plan = lambda r, counts: plan_items(r, sentences, *map(sc, counts))
  for clip, entry in voices.render_engines(plan, seed, tmpdir, workers, log):
    clips.append(None if clip is None else finish(trim(clip)))
    meta.append(entry)
  copies, copy_meta = voice_transform.transformed_copies(
      clips, meta, real_positives, random.Random(f"{seed}:transform"), TRANSFORM_SHARE,
      REAL_TRANSFORMS, tmpdir, workers, log)
  clips += [None if c is None else finish(trim(c)) for c in copies]
  meta += copy_meta
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
