"""File: voices_mbrola.py -- the mbrola diphone voices, for the held-out evaluation only.

espeak-ng reads the text and mbrola (Debian mbrola-us1, -us2, -us3, -en1) speaks it: three
American voices and one British. Their licence forbids use in a product that is sold, so
their clips never train anything: data.TEST_ONLY_ENGINES puts every clip of this engine in
the test split. Speed and pitch are espeak-ng's.
"""

import os

from . import voices_base

NAME = "mbrola"
VOICES = ("us1", "us2", "us3", "en1")
PLAN = (40, 15, 60, 25)
PROGRAM = "espeak-ng"
VOICE_DIR = "/usr/share/mbrola"


def available():
  missing = voices_base.missing_programs(PROGRAM, "mbrola")
  if missing:
    return missing
  gone = [v for v in VOICES if not os.path.exists(os.path.join(VOICE_DIR, v))]
  return f"no mbrola voice {', '.join(gone)} in {VOICE_DIR}" if gone else None


def draw(rng, voice):
  return {"speed": rng.randint(110, 200), "pitch": rng.randint(20, 85)}


def render(voice, text, params, tmpdir):
  path = voices_base.wav_path(tmpdir)
  cmd = [PROGRAM, "-v", "mb-" + voice, "-s", str(params["speed"]), "-p", str(params["pitch"]),
         "-w", path, text]
  return voices_base.run_to_wav(cmd, path)
