"""File: engine.py -- per-frame scores of audio from the real engine, or from the replica.

The evaluation must score audio the way deployments will: through the engine. The Python
module `quelt_wake_word` is fed one hop at a time and asked for its current score after each
frame. When no build of the module is available, the frame-by-frame numpy replica stands in,
and every report says which of the two produced its numbers.
"""

import csv
import importlib
import os
import subprocess
import sys
import tempfile

import numpy as np
import soundfile as sf

from . import frontend as fe
from . import streaming


class ModuleScorer:
  """Scores through the engine's Python module, a fresh session per stream."""

  def __init__(self, model_path, module_dir):
    if module_dir not in sys.path:
      sys.path.insert(0, module_dir)
    self.module = importlib.import_module("quelt_wake_word")
    self.model_bytes = open(model_path, "rb").read()
    self.name = "engine (Python module quelt_wake_word)"

  def scores(self, audio):
    eng = self.module.WakeWordEngine.from_bytes(self.model_bytes)
    samples = np.asarray(audio, np.float32).tolist()
    n = fe.n_frames(len(samples))
    out = np.empty(n, np.float32)
    if n == 0:
      return out
    eng.push_pcm_f32(samples[: fe.FRAME_LENGTH])
    out[0] = eng.current_score()
    pos = fe.FRAME_LENGTH
    for j in range(1, n):
      eng.push_pcm_f32(samples[pos: pos + fe.HOP_LENGTH])
      pos += fe.HOP_LENGTH
      out[j] = eng.current_score()
    return out

  def detections(self, audio, chunk=1600):
    """Detection frame indices with the engine's own gate and defaults."""
    eng = self.module.WakeWordEngine.from_bytes(self.model_bytes)
    x = np.asarray(audio, np.float32)
    dets = []
    for i in range(0, len(x), chunk):
      dets += [d.frame_index for d in eng.push_pcm_f32(x[i: i + chunk].tolist())]
    return dets


class CliScorer:
  """Scores through the engine's command-line tool: every stream is a float WAV file, one
  run scores them all (the tool resets the session between inputs) and writes each frame's
  score to a CSV file."""

  def __init__(self, model_path, cli_path, tmp_dir=None):
    self.model_path, self.cli, self.tmp_dir = model_path, cli_path, tmp_dir
    self.name = "engine (quelt-wake-word detect --scores)"

  def scores_many(self, streams):
    with tempfile.TemporaryDirectory(dir=self.tmp_dir) as tmp:
      names = []
      for i, audio in enumerate(streams):
        path = os.path.join(tmp, f"s{i:06d}.wav")
        sf.write(path, np.asarray(audio, np.float32), fe.SAMPLE_RATE, subtype="FLOAT")
        names.append(path)
      out = os.path.join(tmp, "scores.csv")
      # The streams are sessions as they are: no silence added before or after.
      subprocess.run([self.cli, "detect", "--model", self.model_path, "--threshold", "1",
                      "--lead", "0", "--tail", "0", "--scores", out] + names, check=True,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
      per_file = {n: [] for n in names}
      with open(out, newline="") as f:
        for row in csv.DictReader(f):
          per_file[row["file"]].append(float(row["score"]))
    return [np.asarray(per_file[n], np.float32) for n in names]

  def scores(self, audio):
    return self.scores_many([audio])[0]


class ReplicaScorer:
  """Scores through the numpy replica of the session (float32, frame by frame)."""

  def __init__(self, tensors):
    self.tensors = tensors
    self.name = "float32 frame-by-frame replica of the engine (numpy; no engine build found)"

  def scores(self, audio):
    session = streaming.StreamingSession(self.tensors)
    return np.asarray(session.push(np.asarray(audio, np.float32))[1], np.float32)

  def detections(self, audio):
    return streaming.detections(self.scores(audio))


def find_module_dir(repo_root):
  """The first build directory that holds the engine's Python module."""
  build = os.path.join(repo_root, "build")
  if not os.path.isdir(build):
    return None
  for name in sorted(os.listdir(build)):
    for d in (os.path.join(build, name, "python"), os.path.join(build, name, "src", "python")):
      if os.path.isdir(d) and any(f.startswith("quelt_wake_word") and f.endswith(".so")
                                  for f in os.listdir(d)):
        return d
  return None


def make_scorer(model_path, tensors, module_dir=None, repo_root=None, log=print, cli=None,
                tmp_dir=None):
  if cli and model_path and os.access(cli, os.X_OK):
    return CliScorer(model_path, cli, tmp_dir)
  module_dir = module_dir or (find_module_dir(repo_root) if repo_root else None)
  if module_dir and model_path:
    try:
      return ModuleScorer(model_path, module_dir)
    except Exception as err:  # a half-built module must not stop the evaluation
      log(f"engine module in {module_dir} unusable ({err}); using the replica")
  return ReplicaScorer(tensors)
