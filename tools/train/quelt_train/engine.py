"""File: engine.py -- per-frame scores of audio from the engine, through its command-line tool.

The evaluation and the export check must score audio the way deployments will: through the
engine. `quelt-wake-word detect --scores` writes the session's own score of every frame, as
the session's per-frame observer reports it; one run scores many streams (the tool resets
the session between inputs, so each starts at frame 0), each written as a float WAV file and
fed as it is, with no silence before or after it.
"""

import csv
import glob
import os
import platform
import subprocess
import tempfile

import numpy as np
import soundfile as sf

from . import frontend as fe


class CliScorer:
  """Scores through `quelt-wake-word detect --scores`."""

  def __init__(self, model_path, cli_path, tmp_dir=None):
    self.model_path, self.cli, self.tmp_dir = model_path, cli_path, tmp_dir
    self.name = "engine (quelt-wake-word detect --scores)"

  def scores_many(self, streams):
    """One float32 array of frame scores per stream, in order."""
    with tempfile.TemporaryDirectory(dir=self.tmp_dir) as tmp:
      names = []
      for i, audio in enumerate(streams):
        path = os.path.join(tmp, f"s{i:06d}.wav")
        sf.write(path, np.asarray(audio, np.float32), fe.SAMPLE_RATE, subtype="FLOAT")
        names.append(path)
      return self._run(names, tmp)

  def scores_files(self, paths):
    """Frame scores of audio files already written (16 kHz mono), each a session of its own:
    for streams too long to hold in memory twice."""
    with tempfile.TemporaryDirectory(dir=self.tmp_dir) as tmp:
      return self._run(list(paths), tmp)

  def _run(self, names, tmp):
    out = os.path.join(tmp, "scores.csv")
    # Detections go to standard output, which nothing here reads: the scores file holds
    # every frame whatever the threshold.
    subprocess.run([self.cli, "detect", "--model", self.model_path, "--lead", "0",
                    "--tail", "0", "--scores", out] + names, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return read_scores_csv(out, names)

  def scores(self, audio):
    return self.scores_many([audio])[0]


def read_scores_csv(path, names):
  """One float32 array of frame scores per input of `names`, in order, from a scores file
  of one model's run. The file's columns are file,wake_word,frame_index,time_sec,score with
  rows in frame order; a file from several models (rows told apart by wake_word) is
  refused, since their scores would interleave."""
  per_file = {n: [] for n in names}
  words = set()
  with open(path, newline="") as f:
    for row in csv.DictReader(f):
      words.add(row["wake_word"])
      per_file[row["file"]].append(float(row["score"]))
  if len(words) > 1:
    raise ValueError(f"{path}: scores of several models ({', '.join(sorted(words))})")
  return [np.asarray(per_file[n], np.float32) for n in names]


# ELF machine numbers of the hosts the recipe runs on
_ELF_MACHINE = {"x86_64": 62, "aarch64": 183}


def runs_here(path):
  """Whether an executable was built for this machine: the cross build's tools sit beside
  the host's under build/ and fail to start ("Exec format error")."""
  want = _ELF_MACHINE.get(platform.machine())
  try:
    with open(path, "rb") as f:
      head = f.read(20)
  except OSError:
    return False
  if want is None or head[:4] != b"\x7fELF":
    return True
  return int.from_bytes(head[18:20], "little") == want


def find_tool(repo_root, relpath):
  """The most recently built copy of relpath (as "tools/cli/quelt-wake-word") under
  repo_root/build that runs on this machine (an older build folder may hold an older
  tool, the cross build one for another machine), or None."""
  hits = [h for h in glob.glob(os.path.join(repo_root, "build", "*", relpath))
          if os.access(h, os.X_OK) and runs_here(h)]
  return max(hits, key=os.path.getmtime, default=None)


def find_cli(repo_root):
  """The newest quelt-wake-word under repo_root/build that runs here, or None."""
  return find_tool(repo_root, os.path.join("tools", "cli", "quelt-wake-word"))


def make_scorer(model_path, cli=None, repo_root=None, tmp_dir=None):
  """A scorer over the given tool, or the newest build's; stops when there is none."""
  cli = cli or (find_cli(repo_root) if repo_root else None)
  if not (cli and os.access(cli, os.X_OK)):
    raise SystemExit("quelt-wake-word not found: build the target quelt-wake-word or pass --cli")
  return CliScorer(model_path, cli, tmp_dir)
