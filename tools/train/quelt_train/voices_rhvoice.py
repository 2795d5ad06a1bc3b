"""File: voices_rhvoice.py -- RHVoice's English voices (Debian rhvoice, rhvoice-english).

Four voices, each modelled on a CMU ARCTIC speaker (data.ENGINE_PEOPLE maps them, so each
is split with that person): alan (awb), bdl, clb and slt. The package also ships
evgeniy-eng and lyubov, whose licence forbids derived works: they are never used. Rate and
pitch are RHVoice's own relative settings, in percent of the voice's own.
"""

from . import voices_base

NAME = "rhvoice"
VOICES = ("alan", "bdl", "clb", "slt")
PLAN = (80, 25, 150, 50)
PROGRAM = "RHVoice-test"


def available():
  return voices_base.missing_programs(PROGRAM)


def draw(rng, voice):
  return {"rate": rng.randint(70, 150), "pitch": rng.randint(75, 135)}


def render(voice, text, params, tmpdir):
  path = voices_base.wav_path(tmpdir)
  cmd = [PROGRAM, "-p", voice, "-r", str(params["rate"]), "-t", str(params["pitch"]),
         "-o", path]
  return voices_base.run_to_wav(cmd, path, stdin_text=text + "\n")
