"""File: voices_base.py -- what the extra synthesisers' renderers share.

Each engine lives in a module of its own (voices_rhvoice, voices_pico, voices_gnuspeech,
voices_mbrola) with the same few names: NAME (the `synth` value in the index), VOICES, PLAN
(clips per voice at scale 1: wake words, lead-ins, sentences, look-alike words),
available() (None when the engine can run, else why not), draw(rng, voice) (the clip's
random parameters, as stored in the index) and render(voice, text, params, tmpdir), which
returns the clip as 16 kHz float audio, or None when the engine failed on it. An engine that
is slow to start renders many clips per process with render_batch(voice, jobs, tmpdir)
instead.
"""

import os
import shutil
import subprocess
import tempfile

import soundfile as sf

from . import synth


def missing_programs(*names):
  """None when every program is on PATH, else a line naming those that are not."""
  gone = [n for n in names if shutil.which(n) is None]
  return f"no {', '.join(gone)} on PATH" if gone else None


def wav_path(tmpdir, suffix=".wav"):
  """A new empty file's path in tmpdir."""
  fd, path = tempfile.mkstemp(suffix=suffix, dir=tmpdir)
  os.close(fd)
  return path


def read_16k(path):
  """The WAV file at path as 16 kHz mono float64; the file is removed. None when the engine
  left no readable audio."""
  try:
    audio, rate = sf.read(path, dtype="float64")
  except (RuntimeError, OSError):
    return None
  finally:
    if os.path.exists(path):
      os.unlink(path)
  return synth.to_16k(audio, rate) if len(audio) else None


def run_to_wav(cmd, path, stdin_text=None, timeout=60):
  """Runs an engine that writes path; returns its audio (see read_16k), None on failure."""
  try:
    subprocess.run(cmd, input=stdin_text, text=True, check=True, capture_output=True,
                   timeout=timeout)
  except (subprocess.SubprocessError, OSError):
    if os.path.exists(path):
      os.unlink(path)
    return None
  return read_16k(path)
