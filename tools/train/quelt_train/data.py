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

from . import augment, synth
from . import phrase as phrase_mod

SAMPLE_RATE = 16000
SPLITS = ("train", "val", "test")
# Recordings of a wake phrase, by what they say: trimmed to their speech, so that a clip ends
# where the phrase does. They are positives for a phrase they end with ("hey computer" says
# "computer") and negatives for any other.
WORD_SOURCES = {"precise_computer": "computer", "precise_heycomputer": "hey computer",
                "ovos_mimic3_positive": "hey computer"}
# Those of them that a synthesiser spoke: no room around the words, and the quietest part of
# a clip is speech, so they are cut against their peak alone (synth.trim, not trim_recording).
SYNTHETIC_WORD_SOURCES = {"ovos_mimic3_positive"}
POSITIVE_ROLES = {"precise_computer": "real_word", "precise_heycomputer": "real_lead",
                  "ovos_mimic3_positive": "neural_word"}
NEGATIVE_ROLES = {"precise_computer": "confusable", "precise_heycomputer": "confusable",
                  "ovos_mimic3_positive": "neural_speech"}
# The user's own recordings of the phrase (--recordings): this share of the files, by a hash
# of the file's path in the folder, is validation, the rest training.
USER_VAL = 0.25
AUDIO_EXTENSIONS = (".wav", ".flac", ".ogg", ".oga", ".opus", ".aiff", ".aif", ".au", ".caf",
                    ".w64", ".rf64", ".mp3")
# Ordinary sentences for the synthetic negatives when there is no data folder to take
# transcripts from.
FALLBACK_SENTENCES = [
    "the weather is lovely today", "let us walk in the park", "i will call you tomorrow",
    "please pass the salt", "the train leaves at seven", "what did you have for lunch",
    "my sister lives in the city", "turn left at the next corner", "the children are asleep",
    "we need more milk and bread", "he plays the guitar every evening",
    "the meeting has been moved to friday", "can you hear the rain on the roof",
    "she reads a book before bed", "the garden needs water", "open the window a little",
    "i lost my keys again", "the dog barked all night", "how was your weekend",
    "this soup is too hot", "they painted the fence white", "the shop closes at six",
    "do you want some tea", "the film starts in ten minutes", "our neighbours are very kind",
    "put the boxes in the garage", "the baby is laughing", "i forgot to buy eggs",
    "the river is high after the storm", "we watched the sunset from the hill",
    "the bus was late this morning", "he fixed the old bicycle", "where did you park the car",
    "the library is quiet today", "she painted a picture of the sea", "close the door please",
    "the phone rang twice", "we are going to the beach", "the cake is in the oven",
    "it is getting dark outside",
]
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
  if source == "user":  # the user's own recordings of the phrase, by file
    return "val" if _frac(path, "user") < USER_VAL else "train"
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


def has_data(data_dir):
  return bool(data_dir) and os.path.exists(os.path.join(data_dir, "manifest.csv"))


def thin_rows(rows, per_source):
  """At most per_source rows of every source, spread evenly over its rows (a quick run)."""
  by_source = {}
  for r in rows:
    by_source.setdefault(r["source"], []).append(r)
  keep = set()
  for items in by_source.values():
    step = max(1, -(-len(items) // per_source))
    keep |= {id(r) for r in items[::step]}
  return [r for r in rows if id(r) in keep]


def load_real(data_dir, cache_dir, log=print, per_source=None):
  """Decodes every file of the manifest once; returns (audio int16, index list). The split
  is drawn again at every load, so a cache made under older rules follows today's. Without
  a data folder (no manifest), nothing. per_source: decode only that many files of each
  source (a quick run)."""
  audio_path = os.path.join(cache_dir, "real_audio.npy")
  index_path = os.path.join(cache_dir, "real.json")
  if os.path.exists(audio_path) and os.path.exists(index_path):
    with open(index_path) as f:
      index = json.load(f)
    for e in index:
      e["split"] = real_split(e["source"], e["speaker"], e["path"])
    return np.load(audio_path, mmap_mode="r"), index
  if not has_data(data_dir):
    return np.zeros(0, np.int16), []
  os.makedirs(cache_dir, exist_ok=True)
  with open(os.path.join(data_dir, "manifest.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
  if per_source:
    rows = thin_rows(rows, per_source)
  chunks, index, pos = [], [], 0
  for i, row in enumerate(rows):
    x, rate = sf.read(os.path.join(data_dir, row["path"]), dtype="float64", always_2d=True)
    x = synth.to_16k(x.mean(axis=1), rate)
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype(np.int16)
    if row["source"] in WORD_SOURCES:
      x = pcm.astype(np.float64) / 32768
      pcm = synth.finish(synth.trim(x, rel_db=-30) if row["source"] in SYNTHETIC_WORD_SOURCES
                         else synth.trim_recording(x))
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


def sentences_for_synthesis(data_dir, phrase=None):
  """Varied English text for the synthetic negatives: the real corpus's transcripts that do
  not hold the phrase (without a data folder, a built-in list)."""
  phrase = phrase or phrase_mod.load()
  if not has_data(data_dir):
    return sorted(t for t in FALLBACK_SENTENCES if not phrase.in_text(t))
  out = []
  with open(os.path.join(data_dir, "manifest.csv"), newline="") as f:
    for row in csv.DictReader(f):
      text = row["transcript"].strip().lower()
      if text and not phrase.in_text(text) and len(text.split()) <= 30:
        out.append(text)
  return sorted(set(out))


def load_recordings(folder, log=print):
  """The user's recordings of the phrase: every file under folder that libsndfile reads
  (WAV, FLAC, OGG, ...), as 16 kHz mono, trimmed to its speech. Returns (audio int16, index),
  each file split into training or validation by a hash of its path in the folder."""
  chunks, index, pos = [], [], 0
  for root, _, files in sorted(os.walk(folder)):
    for name in sorted(files):
      path = os.path.join(root, name)
      rel = os.path.relpath(path, folder)
      try:
        x, rate = sf.read(path, dtype="float64", always_2d=True)
      except (RuntimeError, OSError):  # not audio that libsndfile reads
        if name.lower().endswith(AUDIO_EXTENSIONS):
          log(f"  cannot read {rel}: skipped")
        continue
      pcm = synth.finish(synth.trim_recording(synth.to_16k(x.mean(axis=1), rate)))
      if pcm is None or len(pcm) < 1600:
        log(f"  {rel}: no speech found, skipped")
        continue
      chunks.append(pcm)
      index.append({"source": "user", "speaker": "user", "path": rel, "text": "",
                    "start": pos, "length": len(pcm), "split": real_split("user", "", rel)})
      pos += len(pcm)
  audio = np.concatenate(chunks) if chunks else np.zeros(0, np.int16)
  return audio, index


PHRASE_FILE = "phrase.json"


def work_phrase(work_dir):
  """What the work folder is made for: {"phrase", "recordings", "negatives", "confusables"}
  (prepare_data.py writes it; a folder without one is the bundled word's)."""
  path = os.path.join(work_dir, PHRASE_FILE)
  if os.path.exists(path):
    with open(path) as f:
      return json.load(f)
  return {"phrase": "computer", "recordings": None, "negatives": [], "confusables": None}


def generated_noise(split, count=6, seconds=10.0):
  """Noise made here for a run without a data folder: coloured noise, hum and tones, a set
  of its own for every split."""
  rng = np.random.default_rng({"train": 11, "val": 12, "test": 13}[split])
  n = int(seconds * SAMPLE_RATE)
  makers = (augment.coloured_noise, augment.hum, augment.tones)
  return [(0.1 * makers[i % 3](n, rng)).astype(np.float32) for i in range(count)]


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
  """The Corpus of the real data folder, the synthetic clips cached in work_dir and the
  user's recordings, for the phrase the work folder is made for."""
  spec = work_phrase(work_dir)
  real_audio, real_index = load_real(data_dir, work_dir)
  synth_audio, synth_index = load_synth(work_dir, require_synth)
  user = load_recordings(spec["recordings"]) if spec.get("recordings") else None
  return Corpus(real_audio, real_index, synth_audio, synth_index,
                phrase_mod.load(spec["phrase"]), user)


def says_phrase(source, phrase):
  """Whether the recordings of a wake-word source say the phrase (end with it)."""
  said = WORD_SOURCES[source]
  return said == phrase.text or said.endswith(" " + phrase.text)


class Corpus:
  """Clips grouped by role and split, as float32 arrays in [-1, 1]. The roles follow the
  phrase: the data folder's recordings of "computer" are wake words for it, negatives for
  any other phrase, and no transcript that holds the phrase is a negative."""

  def __init__(self, real_audio, real_index, synth_audio, synth_index, phrase=None, user=None):
    self.groups = {}
    self.phrase = phrase or phrase_mod.load()
    roles = {"speechocean762": "speech", "mini_librispeech": "speech",
             "precise_not_wake_words": "confusable", "speech_commands_bg": "noise",
             "precise_bg_noise": "noise", "ovos_mimic3_negative": "neural_speech",
             "ovos_noises": "room_noise", "ovos_false_activations": "false_activation"}
    for source in WORD_SOURCES:
      roles[source] = (POSITIVE_ROLES if says_phrase(source, self.phrase) else
                       NEGATIVE_ROLES)[source]
    for e in real_index:
      role = roles[e["source"]]
      if (role in ("speech", "confusable", "neural_speech") and e["source"] not in WORD_SOURCES
          and self.phrase.in_text(e.get("text") or "")):
        continue
      self._add(role, e["split"], real_audio, e)
    synth_roles = {"word": "word", "lead": "lead", "neg": "synth_speech", "conf": "confusable"}
    # Praat's copies of real recordings keep their source, and so its role for this phrase.
    for e in synth_index:
      role = roles[e["source"]] if "source" in e else synth_roles[e["kind"]]
      self._add(role, e["split"], synth_audio, e)
    if user is not None:
      for e in user[1]:
        self._add("user_word", e["split"], user[0], e)
    if not real_index:
      # No data folder: the synthetic sentences stand in for real talk, and noise is made.
      for split in SPLITS:
        for clip, e in self.groups.get(("synth_speech", split), []):
          self.groups.setdefault(("speech", split), []).append((clip, e))
        for clip in generated_noise(split):
          self.groups.setdefault(("noise", split), []).append(
              (clip, {"source": "generated", "speaker": "", "path": ""}))

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
