#!/usr/bin/python3
"""File: prepare_data.py -- step 1 of the recipe: decode the real data and synthesise speech.

Usage: prepare_data.py DATA_DIR WORK_DIR [--scale S] [--workers N]
Writes WORK_DIR/real_audio.npy, real.json, synth_audio.npy and synth.json (never the project).
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import data, synth, voice_transform  # noqa: E402


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("data_dir")
  ap.add_argument("work_dir")
  ap.add_argument("--scale", type=float, default=1.0, help="clips per voice, relative")
  ap.add_argument("--workers", type=int, default=2)
  ap.add_argument("--seed", type=int, default=1234)
  args = ap.parse_args()
  t0 = time.time()
  log = lambda m: print(f"[{time.time() - t0:7.1f}s] {m}", flush=True)
  log("decoding real recordings")
  real_audio, real_index = data.load_real(args.data_dir, args.work_dir, log=log)
  if not os.path.exists(os.path.join(args.work_dir, "synth.json")):
    sentences = data.sentences_for_synthesis(args.data_dir)
    log(f"{len(sentences)} sentences for synthetic speech")
    synth.synthesise(args.work_dir, sentences, scale=args.scale, seed=args.seed,
                     workers=args.workers, log=log,
                     real_positives=voice_transform.real_positives(real_audio, real_index))
  log("corpus:\n" + data.load_corpus(args.data_dir, args.work_dir).summary())


if __name__ == "__main__":
  main()
