"""synthesise() at a tiny scale with every engine: the index names each clip's engine and
voice, their parameters and transforms, and the splits follow the people and licences."""

import json
import random
import shutil

import numpy as np
import pytest

from quelt_train import data, lookalikes, phrase, synth, voice_transform, voices
from test_voice_transform import vowel


def test_a_tiny_synthesis_holds_every_engine_and_the_transformed_copies(tmp_path, monkeypatch):
  if not (shutil.which("espeak-ng") and shutil.which("flite") and shutil.which("festival")):
    pytest.skip("no espeak-ng, flite or festival")
  monkeypatch.setattr(synth, "ESPEAK_ACCENTS", ["en-us"])
  monkeypatch.setattr(synth, "espeak_variants", lambda: ["", "m3"])
  monkeypatch.setattr(synth, "FLITE_VOICES", ["slt"])
  monkeypatch.setattr(synth, "FESTIVAL_VOICES", ["kal_diphone"])
  for engine in voices.ENGINES:
    monkeypatch.setattr(engine, "VOICES", engine.VOICES[:2])
  real = [(vowel(110.0 + 20 * i, 0.6), {"source": "precise_computer", "speaker": who,
                                        "path": f"{who}/{i}.wav", "text": "computer"})
          for i, who in enumerate(["krisgesling", "el-tocino"])]
  lines = []
  word = phrase.load("computer")
  texts = synth.Texts(word.forms, word.lead_ins, lookalikes.texts(word, str(tmp_path / "x")),
                      ["the lights are on in the kitchen"])
  audio, index = synth.synthesise(str(tmp_path), texts,
                                  scale=0.01, seed=3, workers=2, log=lines.append,
                                  real_positives=real)
  with open(tmp_path / "synth.json") as f:
    assert json.load(f) == index
  assert np.array_equal(np.load(tmp_path / "synth_audio.npy"), audio)
  assert sorted(p.name for p in tmp_path.iterdir()) == ["synth.json", "synth_audio.npy"]
  assert index[-1]["start"] + index[-1]["length"] == len(audio)
  # a real recording's transformed copy names its source instead of an engine
  engines = {e.get("synth", e.get("source")) for e in index}
  for engine in voices.ENGINES:
    if engine.available():
      assert any(line.startswith(f"{engine.NAME}: skipped") for line in lines)
      continue
    mine = [e for e in index if e.get("synth") == engine.NAME and "transform" not in e]
    assert {e["voice"] for e in mine} == {f"{engine.NAME}_{v}" for v in engine.VOICES}
    assert {e["kind"] for e in mine} == {"word", "lead", "neg", "conf"}
    assert all(set(e["params"]) == set(engine.draw(random.Random(0), e["variant"]))
               for e in mine)
    assert any(line.startswith(f"{engine.NAME}: ") and "clips/s" in line for line in lines)
  assert {"espeak", "flite", "festival"} <= engines
  splits = {}
  for e in index:
    splits.setdefault(e.get("synth", e.get("source")), set()).add(data.synth_split(e))
  if "mbrola" in splits:
    assert splits["mbrola"] == {"test"}
  if "rhvoice" in splits:  # alan and bdl speak as the ARCTIC people awb and bdl: training
    assert splits["rhvoice"] == {"train"}
  if not voice_transform.available():
    copies = [e for e in index if "transform" in e]
    assert copies and all(data.synth_split(e) == "train" for e in copies)
    assert [e["speaker"] for e in copies if "source" in e] == ["krisgesling"] * 3
    assert all(e["kind"] in ("word", "lead", "real_word") for e in copies)
