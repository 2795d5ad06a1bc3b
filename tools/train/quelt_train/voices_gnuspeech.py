"""File: voices_gnuspeech.py -- GnuSpeech, an articulatory synthesiser: a tube model of the
vocal tract driven by a glottal source, so its voices are set by the tract's length, the
glottal pitch and pulse shape and the breathiness rather than by recordings of a person.

It comes from npm (@echogarden/gnuspeech-wasm, pinned in tools/train/package-lock.json and
installed by setup.sh into tools/train/node_modules, or the folder $QUELT_NODE_MODULES names)
and runs under Debian's nodejs through gnuspeech_render.mjs, one process for many clips.

Its voices are 18 regions of that space, 6 men, 6 women and 6 children: each voice has a
centre of its own (a fixed draw from its name) and every clip draws its tract length, pitch,
breathiness, pulse and tempo around it. No person is behind a voice, so the voice name is
the unit of the split, as an espeak-ng variant is.
"""

import json
import os
import random
import shutil
import subprocess

from . import voices_base

NAME = "gnuspeech"
KINDS = ("man", "woman", "child")
VOICES = tuple(f"{kind}{i:02d}" for kind in KINDS for i in range(1, 7))
PLAN = (30, 10, 40, 15)
RENDERER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gnuspeech_render.mjs")
PACKAGE = os.path.join("@echogarden", "gnuspeech-wasm", "wasm", "gnuspeech.js")
# (vocal tract length in cm, glottal pitch in semitones about middle C, breathiness in %)
# of each kind: an adult man's tract is about 17 cm, a woman's 14 to 15, a child's 10 to 13.
RANGES = {"man": ((16.0, 19.0), (-15.0, -9.0), (0.3, 2.5)),
          "woman": ((13.5, 16.0), (-3.0, 3.0), (1.0, 4.0)),
          "child": ((10.0, 13.0), (2.0, 7.0), (1.0, 3.5))}


def node_modules():
  return os.environ.get("QUELT_NODE_MODULES") or os.path.join(
      os.path.dirname(os.path.abspath(__file__)), "..", "node_modules")


def node():
  return shutil.which("node") or shutil.which("nodejs")


def available():
  if node() is None:
    return "no node or nodejs on PATH"
  if not os.path.exists(os.path.join(node_modules(), PACKAGE)):
    return f"no GnuSpeech in {node_modules()} (tools/train/setup.sh installs it)"
  return None


def centre(voice):
  """The fixed centre of one voice: (tract length, glottal pitch, breathiness, pulse fall)."""
  kind = voice.rstrip("0123456789")
  (l0, l1), (p0, p1), (b0, b1) = RANGES[kind]
  r = random.Random("gnuspeech:" + voice)
  return r.uniform(l0, l1), r.uniform(p0, p1), r.uniform(b0, b1), r.uniform(20.0, 36.0)


def draw(rng, voice):
  length, pitch, breath, fall = centre(voice)
  return {"vocal_tract_length": round(length * rng.uniform(0.96, 1.04), 2),
          "reference_glottal_pitch": round(pitch + rng.uniform(-1.5, 1.5), 2),
          "breathiness": round(max(0.0, breath * rng.uniform(0.7, 1.3)), 2),
          "glottal_pulse_tp": round(rng.uniform(35.0, 45.0), 1),
          "glottal_pulse_tn": round(max(10.0, fall + rng.uniform(-4.0, 4.0)), 1),
          "tempo": round(rng.uniform(0.8, 1.25), 2)}


def render_batch(voice, jobs, tmpdir):
  """Renders the (text, params) jobs of one voice in one Node process."""
  spec, paths = [], []
  for text, p in jobs:
    paths.append(voices_base.wav_path(tmpdir))
    tract = {k: v for k, v in p.items() if k != "tempo"}
    spec.append({"text": text, "out": paths[-1], "tempo": p["tempo"], "pitch_offset": -4.0,
                 "voice": tract})
  try:
    done = subprocess.run([node(), RENDERER, node_modules()], input=json.dumps(spec), text=True,
                          capture_output=True, timeout=120 + 10 * len(jobs))
    answers = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
  except (subprocess.SubprocessError, OSError, ValueError):
    answers = []
  out = []
  for i, path in enumerate(paths):
    ok = i < len(answers) and answers[i].get("ok")
    out.append(voices_base.read_16k(path) if ok else None)
    if os.path.exists(path):
      os.unlink(path)
  return out


def render(voice, text, params, tmpdir):
  return render_batch(voice, [(text, params)], tmpdir)[0]
