#!/usr/bin/python3
"""File: make_samples.py -- synthesises the bundled sample WAV files with held-out voices.

Usage: make_samples.py OUT_DIR [--word PHRASE]
The texts and file names come from the phrase (the bundled word's from its data file). Voices
used here are held out of training (flite's rms, festival's ked_diphone, the
Caribbean accent of espeak-ng), so the samples show the model on voices it never heard.
Each file is 16 kHz mono 16-bit PCM with a little room noise, a second of lead-in and a
pause after the speech.
"""

import argparse
import os
import sys
import tempfile

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import phrase as P, synth  # noqa: E402


def render(engine, voice, text, tmp):
  path = os.path.join(tmp, "x.wav")
  if engine == "flite":
    synth.render_flite((voice, text, 1.0, 0, path))
  elif engine == "espeak":
    synth.render_espeak((voice, text, 150, 50, path))
  else:
    out = synth.render_festival_batch(voice, [(text, 1.0)], tmp)[0]
    return out.astype(np.float64) / 32768
  audio, rate = sf.read(path, dtype="float64")
  return synth.trim(synth.to_16k(audio, rate))


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("out_dir", nargs="?", default="models/samples")
  ap.add_argument("--word", default="computer")
  args = ap.parse_args()
  out_dir = args.out_dir
  os.makedirs(out_dir, exist_ok=True)
  rng = np.random.default_rng(42)
  with tempfile.TemporaryDirectory() as tmp:
    for name, engine, voice, text in P.load(args.word).samples:
      speech = render(engine, voice, text, tmp)
      speech = 0.5 * speech / np.max(np.abs(speech))
      x = np.concatenate([np.zeros(16000), speech, np.zeros(24000)])
      x += 0.002 * rng.standard_normal(len(x))
      sf.write(os.path.join(out_dir, name), np.round(x * 32767).astype(np.int16), 16000,
               subtype="PCM_16")
      print(f"{name}: {len(x) / 16000:.2f} s, {voice}: \"{text}\"")


if __name__ == "__main__":
  main()
