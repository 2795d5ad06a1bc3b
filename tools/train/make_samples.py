#!/usr/bin/python3
"""File: make_samples.py -- synthesises the bundled sample WAV files with held-out voices.

Usage: make_samples.py OUT_DIR
Voices used here are held out of training (flite's rms, festival's ked_diphone, the
Caribbean accent of espeak-ng), so the samples show the model on voices it never heard.
Each file is 16 kHz mono 16-bit PCM with a little room noise, a second of lead-in and a
pause after the speech.
"""

import os
import sys
import tempfile

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import synth  # noqa: E402

SAMPLES = [
    ("computer.wav", "flite", "rms", "Computer."),
    ("computer_lights_on.wav", "flite", "rms", "Okay computer, turn on the kitchen lights."),
    ("computer_espeak.wav", "espeak", "en-029+m3", "Computer!"),
    ("computer_festival.wav", "festival", "ked_diphone", "Hey computer, what time is it?"),
    ("no_wake_word.wav", "flite", "rms", "The weather is lovely today, let us walk in the park."),
]


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
  out_dir = sys.argv[1] if len(sys.argv) > 1 else "models/samples"
  os.makedirs(out_dir, exist_ok=True)
  rng = np.random.default_rng(42)
  with tempfile.TemporaryDirectory() as tmp:
    for name, engine, voice, text in SAMPLES:
      speech = render(engine, voice, text, tmp)
      speech = 0.5 * speech / np.max(np.abs(speech))
      x = np.concatenate([np.zeros(16000), speech, np.zeros(24000)])
      x += 0.002 * rng.standard_normal(len(x))
      sf.write(os.path.join(out_dir, name), np.round(x * 32767).astype(np.int16), 16000,
               subtype="PCM_16")
      print(f"{name}: {len(x) / 16000:.2f} s, {voice}: \"{text}\"")


if __name__ == "__main__":
  main()
