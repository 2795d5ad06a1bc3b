#!/usr/bin/python3
"""File: prepare_data.py -- step 1 of the recipe: decode the real data and synthesise speech.

Usage: prepare_data.py DATA_DIR WORK_DIR [--word PHRASE] [--negatives FILE]
                       [--recordings DIR] [--scale S] [--workers N] [--voices K]
                       [--without-synth]
Writes WORK_DIR/phrase.json (what the folder is made for: the phrase, the look-alike
negatives the voices say, the user's recordings folder), real_audio.npy, real.json,
synth_audio.npy and synth.json (never the project). Without a data folder (DATA_DIR holds
no manifest.csv) the synthetic sentences stand in for real talk and noise is generated.
The synthesis is skipped when WORK_DIR already holds it.
"""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import (RECIPE_VERSION, data, lookalikes, phrase as P, progress,  # noqa: E402
                         synth, voice_transform)


def espeak_subset(k):
  """About k espeak-ng variants, a third from each split, so that a quick run still has
  validation and test voices."""
  by_split = {}
  for v in synth.espeak_variants():
    split = data.synth_split({"synth": "espeak", "accent": "en-us", "variant": v or "base"})
    by_split.setdefault(split, []).append(v)
  per = max(1, -(-k // 3))
  return sorted(v for s in data.SPLITS for v in by_split.get(s, [])[:per])


def write_phrase(work_dir, args, phrase, log):
  """phrase.json of the work folder; a folder made for another phrase is refused."""
  path = os.path.join(work_dir, data.PHRASE_FILE)
  if os.path.exists(path):
    with open(path) as f:
      old = json.load(f)
    if old["phrase"] != phrase.text:
      raise SystemExit(f"{work_dir} was made for {old['phrase']!r}, not {phrase.text!r}: "
                       "use another work folder (--work)")
    return old
  if os.path.exists(os.path.join(work_dir, "synth.json")) and not phrase.is_bundled:
    # a folder from before phrases were recorded is the bundled word's
    raise SystemExit(f"{work_dir} holds the synthesis of \"computer\": use another folder")
  user = lookalikes.read_negatives(args.negatives) if args.negatives else []
  recordings = os.path.abspath(args.recordings) if args.recordings else None
  if recordings and not os.path.isdir(recordings):
    raise SystemExit(f"--recordings: no folder {recordings}")
  if args.without_synth:
    confusables = []
  else:
    confusables = lookalikes.texts(phrase, work_dir, user=user, log=log,
                                   limit=args.lookalike_words)
  spec = {"phrase": phrase.text, "slug": phrase.slug, "recipe_version": RECIPE_VERSION,
          "recordings": recordings, "negatives": user, "confusables": confusables,
          "forms": phrase.forms, "lead_ins": phrase.lead_ins}
  os.makedirs(work_dir, exist_ok=True)
  with open(path, "w") as f:
    json.dump(spec, f, indent=1)
  return spec


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("data_dir")
  ap.add_argument("work_dir")
  ap.add_argument("--word", default="computer", help="the wake phrase (1 to 4 English words)")
  ap.add_argument("--negatives", help="your own negatives: one phrase a line, # comments")
  ap.add_argument("--recordings", help="a folder of your recordings of the phrase")
  ap.add_argument("--scale", type=float, default=1.0, help="clips per voice, relative")
  ap.add_argument("--workers", type=int, default=2)
  ap.add_argument("--seed", type=int, default=1234)
  ap.add_argument("--voices", type=int, default=None,
                  help="about this many espeak-ng variants and at most this many flite and "
                       "festival voices each (a quick run; default all)")
  ap.add_argument("--lookalike-words", type=int, default=None,
                  help="phonemise only about this many words of the word list (a quick run)")
  ap.add_argument("--real-per-source", type=int, default=None,
                  help="decode at most this many files of each data source (a quick run)")
  ap.add_argument("--without-synth", action="store_true",
                  help="only decode the real data and record the phrase")
  args = ap.parse_args()
  try:
    phrase = P.load(args.word)
  except P.PhraseError as e:
    raise SystemExit(str(e))
  t0 = time.time()
  log = lambda m: print(f"[{time.time() - t0:7.1f}s] {m}", flush=True)
  if not data.has_data(args.data_dir):
    log(f"no data folder at {args.data_dir}: synthetic sentences stand in for real talk, "
        "and the noise is generated")
  spec = write_phrase(args.work_dir, args, phrase, log)
  log(f"wake phrase {phrase.text!r}: {len(spec['confusables'])} look-alike negatives")
  log("decoding real recordings")
  real_audio, real_index = data.load_real(args.data_dir, args.work_dir, log=log,
                                          per_source=args.real_per_source)
  if args.without_synth:
    pass
  elif os.path.exists(os.path.join(args.work_dir, "synth.json")):
    progress.skipped("synthesis", f"{args.work_dir}/synth.json exists")
  else:
    sentences = data.sentences_for_synthesis(args.data_dir, phrase)
    log(f"{len(sentences)} sentences for synthetic speech")
    texts = synth.Texts(phrase.forms, phrase.lead_ins, spec["confusables"], sentences)
    synth.synthesise(args.work_dir, texts, scale=args.scale, seed=args.seed,
                     workers=args.workers, log=log,
                     variants=espeak_subset(args.voices) if args.voices else None,
                     engine_voices=args.voices,
                     real_positives=voice_transform.real_positives(
                         real_audio, [e for e in real_index
                                      if e["source"] in data.WORD_SOURCES
                                      and data.says_phrase(e["source"], phrase)]))
  log("corpus:\n" + data.load_corpus(args.data_dir, args.work_dir,
                                     require_synth=not args.without_synth).summary())


if __name__ == "__main__":
  main()
