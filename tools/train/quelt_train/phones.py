"""File: phones.py -- where each phone of the real read speech lies in time.

pocketsphinx's US English acoustic model is forced through the transcript of each utterance:
the grammar is the transcript's phone sequence (first pronunciation of every word in the
model's dictionary), written as one "word" per phone, so that the decoder's word segments are
phone segments. Utterances with a word the dictionary lacks, or that the decoder cannot force
through, are left out. Times are in 10 ms frames.
"""

import os
import tempfile
from concurrent.futures import ProcessPoolExecutor

import numpy as np

MODEL_DIR = "/usr/share/pocketsphinx/model/en-us"
SOURCES = ("speechocean762", "mini_librispeech")  # read speech with transcripts


def pronunciations():
  """Word -> its first pronunciation, as a list of phones."""
  words = {}
  with open(os.path.join(MODEL_DIR, "cmudict-en-us.dict")) as f:
    for line in f:
      parts = line.split()
      if parts and parts[0] not in words:
        words[parts[0]] = parts[1:]
  return words


def _decoder(dict_path):
  from pocketsphinx import Decoder  # only this step needs it
  config = Decoder.default_config()
  config.set_string("-hmm", os.path.join(MODEL_DIR, "en-us"))
  config.set_string("-dict", dict_path)
  config.set_string("-logfn", os.devnull)
  return Decoder(config)


def _align_part(job):
  audio_path, entries = job
  words = pronunciations()
  with tempfile.NamedTemporaryFile("w", suffix=".dict", delete=False) as f:
    for ph in sorted({ph for v in words.values() for ph in v}):
      f.write(f"p{ph.lower()} {ph}\n")
  try:
    decoder = _decoder(f.name)
  finally:
    os.unlink(f.name)
  audio = np.load(audio_path, mmap_mode="r")
  out = []
  for i, e in entries:
    text = [w.strip(".,?!;:\"").lower() for w in e["text"].split()]
    if not text or any(w not in words for w in text):
      continue
    seq = [ph for w in text for ph in words[w]]
    grammar = "#JSGF V1.0;\ngrammar g;\npublic <s> = " + " ".join(
        "p" + ph.lower() for ph in seq) + ";\n"
    decoder.set_jsgf_string("g", grammar)
    decoder.set_search("g")
    decoder.start_utt()
    decoder.process_raw(np.asarray(audio[e["start"]: e["start"] + e["length"]]).tobytes(),
                        False, True)
    decoder.end_utt()
    if decoder.hyp() is None:
      continue
    segs = [(s.word[1:].upper(), s.start_frame, s.end_frame) for s in decoder.seg()
            if s.word.startswith("p")]  # not the silences and fillers between words
    if [s[0] for s in segs] != seq:
      continue
    out.append({"i": i, "phones": seq, "start": [s[1] for s in segs],
                "end": [s[2] for s in segs]})
  return out


def align(audio_path, index, workers=2):
  """Phone segments of every transcribed utterance of index (entries of data.load_real),
  sorted by their position in index."""
  todo = [(i, e) for i, e in enumerate(index) if e["source"] in SOURCES]
  jobs = [(audio_path, todo[k::workers]) for k in range(workers)]
  with ProcessPoolExecutor(workers) as pool:
    parts = list(pool.map(_align_part, jobs))
  return sorted((a for part in parts for a in part), key=lambda a: a["i"])
