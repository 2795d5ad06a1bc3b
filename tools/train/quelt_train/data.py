"""File: data.py -- the recipe's corpus: real recordings, synthetic clips and their splits.

The real data folder is read once (Opus speech and noise, WAV positives) into one int16 array
with an index, cached in the work directory. Every clip, real or synthetic, is assigned to
train, validation or test by its speaker or voice, never by the clip, so the evaluation only
meets voices and people that training never heard.

Synthetic voices modelled on a recorded person are split by that person, whichever engine
renders them: the CMU ARCTIC people speak through flite, festival, the neural set and
RHVoice, so `person_split` of one person key decides all of them. The rule is a stable hash
of the person key (test below 0.22, validation below 0.36), except the people listed in
PERSON_SPLIT, whose side was fixed before the neural voices came (flite `rms` and festival
`ked_diphone` were already test, the other flite and festival people train).
"""

import csv
import hashlib
import json
import os

import numpy as np
import soundfile as sf

from . import synth

SAMPLE_RATE = 16000
SPLITS = ("train", "val", "test")
# Recordings of the wake word: trimmed to their speech, so that a clip ends where the word does.
WORD_SOURCES = ("precise_computer", "precise_heycomputer", "ovos_mimic3_positive")
# Real noise recordings kept for the evaluation; the others are used in training.
TEST_NOISE = {"exercise_bike.opus", "running_tap.opus", "bg_noise3.opus", "bg_noise8.opus"}
TEST_ACCENTS = {"en-029"}
PERSON_TEST, PERSON_VAL = 0.22, 0.36
PERSON_SPLIT = {"arctic:rms": "test", "ked": "test",
                "arctic:awb": "train", "arctic:slt": "train", "kal": "train"}
# Engine voices of recorded people: (engine, voice) -> person key.
ENGINE_PEOPLE = {
    ("flite", "awb"): "arctic:awb", ("flite", "rms"): "arctic:rms",
    ("flite", "slt"): "arctic:slt", ("flite", "kal"): "kal", ("flite", "kal16"): "kal",
    ("festival", "kal_diphone"): "kal", ("festival", "ked_diphone"): "ked",
    ("festival", "cmu_us_slt_arctic_hts"): "arctic:slt",
    ("rhvoice", "alan"): "arctic:awb", ("rhvoice", "bdl"): "arctic:bdl",
    ("rhvoice", "clb"): "arctic:clb", ("rhvoice", "slt"): "arctic:slt",
}
# Voices whose licence allows evaluation only.
TEST_ONLY_ENGINES = {"mbrola"}
# Real noise clips of the larger collections held out for evaluation, by a hash of the file.
NOISE_TEST = 0.25


def _frac(key, salt):
  """A stable number in [0, 1) for a speaker or voice name."""
  digest = hashlib.sha256((salt + ":" + key).encode()).digest()
  return int.from_bytes(digest[:8], "little") / 2.0**64


def neural_person(voice):
  """The person a neural voice is modelled on: "en_US_cmu-arctic_rms" -> "arctic:rms",
  "en_US_vctk_p225" -> "vctk:p225"; a voice of no known corpus is a person of its own."""
  name = voice.split("_", 2)[2] if voice.startswith(("en_US_", "en_UK_")) else voice
  for prefix, corpus in (("cmu-arctic_", "arctic:"), ("vctk_", "vctk:")):
    if name.startswith(prefix):
      return corpus + name[len(prefix):]
  return name


def person_split(person):
  """Split of one person, the same for every engine that speaks with their voice."""
  if person in PERSON_SPLIT:
    return PERSON_SPLIT[person]
  f = _frac(person, "person")
  return "test" if f < PERSON_TEST else "val" if f < PERSON_VAL else "train"


def real_split(source, speaker, path):
  """Split of one real recording: whole speakers go to validation or test."""
  if source == "speechocean762":
    f = _frac(speaker, "so762")
    return "test" if f < 0.22 else "val" if f < 0.32 else "train"
  if source == "mini_librispeech":
    f = _frac(speaker, "libri")
    return "test" if f < 0.24 else "val" if f < 0.34 else "train"
  if source in ("precise_computer", "precise_heycomputer"):
    return "test" if speaker == "el-tocino" else "train"
  if source == "precise_not_wake_words":  # one contributor's look-alike words
    return "train"
  if source in ("speech_commands_bg", "precise_bg_noise"):
    return "test" if os.path.basename(path) in TEST_NOISE else "train"
  if source in ("ovos_mimic3_positive", "ovos_mimic3_negative"):
    return person_split(neural_person(speaker))
  if source in ("ovos_noises", "ovos_false_activations"):
    return "test" if _frac(os.path.basename(path), "noise") < NOISE_TEST else "train"
  raise ValueError(f"no split rule for the source {source!r}")


def synth_split(entry):
  """Split of one synthetic clip by its voice: espeak-ng by variant and accent, an engine
  voice of a recorded person by that person, any other engine voice by its name; a
  transformed copy of a real recording by that recording's speaker."""
  if "source" in entry:
    return real_split(entry["source"], entry["speaker"], entry["path"])
  if entry["synth"] in TEST_ONLY_ENGINES:
    return "test"
  if entry["synth"] != "espeak":
    name = entry["voice"].split("_", 1)[1] if "_" in entry["voice"] else entry["voice"]
    return person_split(ENGINE_PEOPLE.get((entry["synth"], name), entry["synth"] + ":" + name))
  if entry["accent"] in TEST_ACCENTS:
    return "test"
  f = _frac(entry["variant"], "variant")
  return "test" if f < 0.15 else "val" if f < 0.25 else "train"


def load_real(data_dir, cache_dir, log=print):
  """Decodes every file of the manifest once; returns (audio int16, index list). The split
  is drawn again at every load, so a cache made under older rules follows today's."""
  audio_path = os.path.join(cache_dir, "real_audio.npy")
  index_path = os.path.join(cache_dir, "real.json")
  if os.path.exists(audio_path) and os.path.exists(index_path):
    with open(index_path) as f:
      index = json.load(f)
    for e in index:
      e["split"] = real_split(e["source"], e["speaker"], e["path"])
    return np.load(audio_path, mmap_mode="r"), index
  os.makedirs(cache_dir, exist_ok=True)
  with open(os.path.join(data_dir, "manifest.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
  chunks, index, pos = [], [], 0
  for i, row in enumerate(rows):
    x, rate = sf.read(os.path.join(data_dir, row["path"]), dtype="float64", always_2d=True)
    x = synth.to_16k(x.mean(axis=1), rate)
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype(np.int16)
    if row["source"] in WORD_SOURCES:
      pcm = synth.finish(synth.trim(pcm.astype(np.float64) / 32768, rel_db=-30))
      if pcm is None:
        continue
    chunks.append(pcm)
    index.append({"source": row["source"], "speaker": row["speaker"], "path": row["path"],
                  "text": row["transcript"], "start": pos, "length": len(pcm),
                  "split": real_split(row["source"], row["speaker"], row["path"])})
    pos += len(pcm)
    if i % 1000 == 0:
      log(f"  decoded {i}/{len(rows)}")
  audio = np.concatenate(chunks)
  np.save(audio_path, audio)
  with open(index_path, "w") as f:
    json.dump(index, f)
  return np.load(audio_path, mmap_mode="r"), index


def sentences_for_synthesis(data_dir):
  """Varied English text for the synthetic negatives: the real corpus's transcripts."""
  out = []
  with open(os.path.join(data_dir, "manifest.csv"), newline="") as f:
    for row in csv.DictReader(f):
      text = row["transcript"].strip().lower()
      if text and "comput" not in text and len(text.split()) <= 30:
        out.append(text)
  return sorted(set(out))


def load_synth(cache_dir, required=True):
  """The synthetic clips prepared in cache_dir; with required=False, none when the folder
  holds no prepared synthesis (it needs the Debian synthesisers)."""
  if not required and not os.path.exists(os.path.join(cache_dir, "synth.json")):
    return np.zeros(0, np.int16), []
  audio = np.load(os.path.join(cache_dir, "synth_audio.npy"), mmap_mode="r")
  with open(os.path.join(cache_dir, "synth.json")) as f:
    index = json.load(f)
  for e in index:
    e["split"] = synth_split(e)
  return audio, index


def load_corpus(data_dir, work_dir, require_synth=True):
  """The Corpus of the real data folder and the synthetic clips cached in work_dir."""
  real_audio, real_index = load_real(data_dir, work_dir)
  synth_audio, synth_index = load_synth(work_dir, require_synth)
  return Corpus(real_audio, real_index, synth_audio, synth_index)


class Corpus:
  """Clips grouped by role and split, as float32 arrays in [-1, 1]."""

  def __init__(self, real_audio, real_index, synth_audio, synth_index):
    self.groups = {}
    roles = {"speechocean762": "speech", "mini_librispeech": "speech",
             "precise_not_wake_words": "confusable", "precise_computer": "real_word",
             "precise_heycomputer": "real_lead", "speech_commands_bg": "noise",
             "precise_bg_noise": "noise", "ovos_mimic3_positive": "neural_word",
             "ovos_mimic3_negative": "neural_speech", "ovos_noises": "room_noise",
             "ovos_false_activations": "false_activation"}
    for e in real_index:
      self._add(roles[e["source"]], e["split"], real_audio, e)
    synth_roles = {"word": "word", "lead": "lead", "neg": "synth_speech", "conf": "confusable",
                   "real_word": "real_word", "real_lead": "real_lead",
                   "neural_word": "neural_word"}
    for e in synth_index:
      self._add(synth_roles[e["kind"]], e["split"], synth_audio, e)

  def _add(self, role, split, audio, e):
    clip = np.asarray(audio[e["start"]: e["start"] + e["length"]], dtype=np.float32) / 32768.0
    self.groups.setdefault((role, split), []).append((clip, e))

  def clips(self, role, split):
    return [c for c, _ in self.groups.get((role, split), [])]

  def entries(self, role, split):
    return self.groups.get((role, split), [])

  def summary(self):
    lines = []
    for (role, split), items in sorted(self.groups.items()):
      secs = sum(len(c) for c, _ in items) / SAMPLE_RATE
      voices = len({e.get("voice") or e.get("speaker") for _, e in items})
      lines.append(f"{role:13s} {split:5s} {len(items):6d} clips {secs / 3600:6.2f} h "
                   f"{voices:4d} voices")
    return "\n".join(lines)
