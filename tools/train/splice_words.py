#!/usr/bin/python3
"""File: splice_words.py -- step 1b of the recipe: the wake word in real speakers' voices.

Usage: splice_words.py DATA_DIR WORK_DIR [--workers N]
Aligns the phones of the real read speech (pocketsphinx, Debian's pocketsphinx-en-us and
python3-pocketsphinx) and joins each speaker's phones into the wake word and into look-alike
words and phrases (quelt_train/splice.py). Writes WORK_DIR/phones.json, splice_audio.npy and
splice.json; training uses them with --p-splice.
"""

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import data, phones, splice  # noqa: E402


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("data_dir")
  ap.add_argument("work_dir")
  ap.add_argument("--workers", type=int, default=2)
  args = ap.parse_args()
  t0 = time.time()
  log = lambda m: print(f"[{time.time() - t0:7.1f}s] {m}", flush=True)
  audio, index = data.load_real(args.data_dir, args.work_dir, log=log)
  aligned_path = os.path.join(args.work_dir, "phones.json")
  if os.path.exists(aligned_path):
    with open(aligned_path) as f:
      aligned = json.load(f)
  else:
    aligned = phones.align(os.path.join(args.work_dir, "real_audio.npy"), index, args.workers)
    with open(aligned_path, "w") as f:
      json.dump(aligned, f)
  log(f"aligned {len(aligned)} utterances")
  pcm, entries = splice.splice_all(audio, index, aligned, phones.pronunciations(), log=log)
  np.save(os.path.join(args.work_dir, "splice_audio.npy"), pcm)
  with open(os.path.join(args.work_dir, "splice.json"), "w") as f:
    json.dump(entries, f)


if __name__ == "__main__":
  main()
