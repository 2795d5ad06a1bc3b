#!/usr/bin/python3
"""File: export.py -- step 4 of the recipe: writes the trained network as a .qelt artefact.

Usage: export.py WORK_DIR OUT.qelt [--weights model.pt] [--qelt-write PATH] [--key FILE]
                 [--cli PATH]
The tensors go out as fp32 under their own names through the project's one artefact writer,
qelt-write, with the development key unless --key names another. Then the artefact is checked:
the engine's frame scores for a few clips (quelt-wake-word detect --scores, the tool given or
the newest build's) must equal the PyTorch model's within 1e-4.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
from quelt_train import RECIPE_VERSION, data, engine, frontend, model as M  # noqa: E402
from quelt_train import phrase as P  # noqa: E402


def wake_word_config(phrase="computer"):
  """The artefact's configuration: what it listens for and which recipe made it (the engine
  reads none of it; tools and people do)."""
  card = "docs/MODEL.md" if phrase == "computer" else "the model card beside the artefact"
  return {"wake_word": phrase, "sample_rate": 16000, "window_size": 200, "threshold": 0.9,
          "cooldown_frames": 100, "recipe_version": RECIPE_VERSION,
          "trained_by": f"tools/train (see {card})"}


WAKE_WORD_CONFIG = wake_word_config()


def find_writer():
  path = engine.find_tool(REPO, os.path.join("tools", "writer", "qelt-write"))
  if path is None:
    raise SystemExit("qelt-write not found: build the target qelt-write or pass --qelt-write")
  return path


def write_artefact(net, out_path, writer, key=None, config=None):
  table = M.tensor_table(net)
  with tempfile.TemporaryDirectory() as tmp:
    entries, offset = [], 0
    with open(os.path.join(tmp, "weights.bin"), "wb") as f:
      for name, array in table.items():
        array = np.ascontiguousarray(array, dtype="<f4")
        f.write(array.tobytes())
        entries.append({"name": name, "dtype": "fp32", "shape": list(array.shape),
                        "offset": offset, "nbytes": array.nbytes})
        offset += array.nbytes
    with open(os.path.join(tmp, "tensors.json"), "w") as f:
      json.dump({"model_type": "wake_word", "config": config or WAKE_WORD_CONFIG,
                 "data": "weights.bin",
                 "tensors": entries}, f)
    cmd = [writer, "--tensors", os.path.join(tmp, "tensors.json"), "-o", out_path]
    if key:
      cmd[1:1] = ["--key", key]
    subprocess.run(cmd, check=True)
  return table


def parity_clips(n=4, seconds=6.0, seed=5):
  """Speech-like test signals: modulated harmonic tones in noise, and silence."""
  rng = np.random.default_rng(seed)
  t = np.arange(int(seconds * 16000)) / 16000
  clips = [np.zeros_like(t, dtype=np.float32)]
  for _ in range(n - 1):
    f0 = 100 + 150 * rng.random() + 30 * np.sin(2 * np.pi * rng.uniform(0.5, 3) * t)
    ph = 2 * np.pi * np.cumsum(f0) / 16000
    x = sum(np.sin(k * ph) / k for k in range(1, 12)) * (0.5 + 0.5 * np.sin(2 * np.pi * 2 * t))
    x = 0.3 * x / np.max(np.abs(x)) + 0.01 * rng.standard_normal(len(t))
    clips.append(x.astype(np.float32))
  return clips


def parity_check(net, scorer, clips, tol=1e-4):
  """Largest |engine score - PyTorch score| over every frame of the clips."""
  fe = frontend.TorchFrontend(exact=True)
  worst = 0.0
  with torch.no_grad():
    for clip in clips:
      ref = torch.sigmoid(net(fe(torch.from_numpy(clip)[None])))[0].numpy()
      got = scorer.scores(clip)
      assert len(got) == len(ref), (len(got), len(ref))
      worst = max(worst, float(np.max(np.abs(got - ref))))
  return worst, worst <= tol


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("work_dir")
  ap.add_argument("out")
  ap.add_argument("--weights", default=None, help="state dict (default WORK_DIR/model.pt)")
  ap.add_argument("--qelt-write", default=None)
  ap.add_argument("--key", default=None)
  ap.add_argument("--cli", default=None,
                  help="quelt-wake-word binary (default: the newest under build/)")
  args = ap.parse_args()
  weights = args.weights or os.path.join(args.work_dir, "model.pt")
  phrase = P.load(data.work_phrase(args.work_dir)["phrase"]).text
  stamp_path = os.path.join(args.work_dir, "export.json")
  stamp = {"out": os.path.abspath(args.out), "weights": file_digest(weights),
           "phrase": phrase, "recipe_version": RECIPE_VERSION}
  if os.path.exists(args.out) and os.path.exists(stamp_path):
    with open(stamp_path) as f:
      if json.load(f) == dict(stamp, out_digest=file_digest(args.out)):
        print(f"[export] skipped: {args.out} is already this model", flush=True)
        return
  net = M.WakeWordNet()
  net.load_state_dict(torch.load(weights))
  net.eval()
  scorer = engine.make_scorer(args.out, args.cli, REPO)  # the check's tool, before writing
  os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
  table = write_artefact(net, args.out, args.qelt_write or find_writer(), args.key,
                         wake_word_config(phrase))
  print(f"[export] wrote {args.out} ({os.path.getsize(args.out)} bytes, {len(table)} tensors, "
        f"wake word {phrase!r})", flush=True)
  worst, ok = parity_check(net, scorer, parity_clips())
  print(f"[export] parity against {scorer.name}: max |score difference| = {worst:.2e} "
        f"({'within' if ok else 'OUTSIDE'} 1e-4)", flush=True)
  if ok:
    with open(stamp_path, "w") as f:
      json.dump(dict(stamp, out_digest=file_digest(args.out)), f, indent=1)
  sys.exit(0 if ok else 1)


def file_digest(path):
  with open(path, "rb") as f:
    return hashlib.sha256(f.read()).hexdigest()


if __name__ == "__main__":
  main()
