"""File: voices_pico.py -- SVOX Pico's two English voices (Debian libttspico-utils).

pico2wave speaks American (en-US) and British (en-GB) English, both female. Speed and
pitch are set through its markup, in percent of the voice's own, so the text itself must
not carry markup characters.
"""

from xml.sax.saxutils import escape

from . import voices_base

NAME = "pico"
VOICES = ("en-US", "en-GB")
PLAN = (80, 25, 150, 50)
PROGRAM = "pico2wave"


def available():
  return voices_base.missing_programs(PROGRAM)


def draw(rng, voice):
  return {"speed": rng.randint(75, 135), "pitch": rng.randint(75, 135)}


def markup(text, params):
  return (f"<speed level='{params['speed']}'><pitch level='{params['pitch']}'>"
          f"{escape(text)}</pitch></speed>")


def render(voice, text, params, tmpdir):
  path = voices_base.wav_path(tmpdir)
  return voices_base.run_to_wav([PROGRAM, "-l", voice, "-w", path, markup(text, params)], path)
