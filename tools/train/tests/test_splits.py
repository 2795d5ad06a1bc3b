"""Splits by person across engines: no person on both sides, every source has a rule."""

import csv
import json
import os

import numpy as np
import pytest

from quelt_train import data, voices_mbrola

DATA_DIR = os.environ.get("QUELT_DATA", os.path.join(os.path.dirname(__file__), "..", "..", "..",
                                                     "..", "shared", "data"))
ARCTIC = ("aew", "awb", "bdl", "clb", "ksp", "lnh", "rms", "slt")


def _manifest():
  path = os.path.join(DATA_DIR, "manifest.csv")
  if not os.path.exists(path):
    pytest.skip("no data folder")
  with open(path, newline="") as f:
    return list(csv.DictReader(f))


def _engine_entry(engine, voice):
  return {"synth": engine, "voice": f"{engine}_{voice}", "accent": engine, "variant": voice}


def test_a_person_sits_on_one_side_whatever_the_engine():
  by_person = {}
  for (engine, voice), person in data.ENGINE_PEOPLE.items():
    by_person.setdefault(person, set()).add(data.synth_split(_engine_entry(engine, voice)))
  for who in ARCTIC:
    neural = data.real_split("ovos_mimic3_positive", f"en_US_cmu-arctic_{who}", "x.wav")
    by_person.setdefault("arctic:" + who, set()).add(neural)
    # the same voice's other phrases go with its wake word
    assert data.real_split("ovos_mimic3_negative", f"en_US_cmu-arctic_{who}", "x.opus") == neural
  assert all(len(s) == 1 for s in by_person.values()), by_person
  # the sides fixed before the neural voices came are kept
  assert by_person["arctic:rms"] == {"test"} and by_person["ked"] == {"test"}
  assert by_person["arctic:awb"] == by_person["arctic:slt"] == by_person["kal"] == {"train"}
  assert data.synth_split(_engine_entry("mbrola", "us1")) == "test"
  assert data.neural_person("en_US_vctk_p225") == "vctk:p225"
  assert data.neural_person("en_UK_apope_default") == "apope_default"
  with pytest.raises(ValueError):
    data.real_split("some_new_source", "x", "y")


def test_every_source_of_the_data_folder_is_split_and_test_holds_enough_people():
  rows = _manifest()
  sides = {}
  for r in rows:
    split = data.real_split(r["source"], r["speaker"], r["path"])
    assert split in data.SPLITS
    if r["source"] not in ("ovos_noises", "ovos_false_activations", "speech_commands_bg",
                           "precise_bg_noise"):
      sides.setdefault((r["source"].replace("_positive", "").replace("_negative", ""),
                        r["speaker"]), set()).add(split)
    else:
      sides.setdefault(("noise", r["path"]), set()).add(split)
  assert all(len(s) == 1 for s in sides.values())
  neural = {spk: s.pop() for (src, spk), s in sides.items() if src == "ovos_mimic3"}
  assert len(neural) == 125
  counts = {k: sum(v == k for v in neural.values()) for k in data.SPLITS}
  assert counts["test"] >= 25 and counts["val"] >= 10 and counts["train"] >= 60, counts
  assert data.real_split("precise_computer", "el-tocino", "a.wav") == "test"
  for src in ("ovos_noises", "ovos_false_activations"):
    paths = [r["path"] for r in rows if r["source"] == src]
    test = sum(data.real_split(src, "", p) == "test" for p in paths)
    assert 0.15 < test / len(paths) < 0.35


def test_mbrola_clips_are_held_out_whatever_their_voice_and_kind(tmp_path):
  index, pos = [], 0
  names = [("mbrola", v) for v in voices_mbrola.VOICES] + [("mbrola", "kal"), ("rhvoice", "alan")]
  for engine, voice in names:
    for kind in ("word", "lead", "neg", "conf"):
      index.append(dict(_engine_entry(engine, voice), kind=kind, text="x", start=pos, length=160))
      pos += 160
  np.save(tmp_path / "synth_audio.npy", np.ones(pos, np.int16))
  (tmp_path / "synth.json").write_text(json.dumps(index))
  _, loaded = data.load_synth(str(tmp_path))
  assert {e["split"] for e in loaded if e["synth"] == "mbrola"} == {"test"}
  assert {e["split"] for e in loaded if e["synth"] == "rhvoice"} == {"train"}
  corpus = data.Corpus(np.zeros(0, np.int16), [], *data.load_synth(str(tmp_path)))
  for role in ("word", "lead", "synth_speech", "confusable"):
    for split in ("train", "val"):
      assert all(e["synth"] != "mbrola" for _, e in corpus.entries(role, split))
    assert sum(e["synth"] == "mbrola" for _, e in corpus.entries(role, "test")) == 5
