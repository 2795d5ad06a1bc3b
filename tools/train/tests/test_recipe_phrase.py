"""The recipe driven by the phrase: roles of the data folder's recordings, the user's
recordings, the texts the voices say, the artefact's configuration, the model card's
verdict and the progress lines."""

import json
import os
import random

import numpy as np
import pytest
import soundfile as sf

import export
from quelt_train import card, data, lookalikes, phrase as P, progress, synth
from test_phrase import COMPUTER_FORMS, COMPUTER_LEAD_INS


def fake_real():
  """One clip of each kind of the data folder, with the transcripts that matter here."""
  rows = [("precise_computer", "krisgesling", "computer"),
          ("precise_heycomputer", "el-tocino", "hey computer"),
          ("ovos_mimic3_positive", "en_US_vctk_p225", "hey computer"),
          ("speechocean762", "SPEAKER0001", "I SAW A NOVA LAST NIGHT"),
          ("speechocean762", "SPEAKER0001", "THE WEATHER IS FINE"),
          ("ovos_mimic3_negative", "en_US_vctk_p225", "hey jarvis")]
  index, pos = [], 0
  for i, (src, spk, text) in enumerate(rows):
    index.append({"source": src, "speaker": spk, "path": f"x/{i}.wav", "text": text,
                  "start": pos, "length": 1600,
                  "split": data.real_split(src, spk, f"x/{i}.wav")})
    pos += 1600
  return np.ones(pos, np.int16), index


def roles(corpus):
  return {role: sum(len(v) for (r, _), v in corpus.groups.items() if r == role)
          for role, _ in corpus.groups}


def test_the_data_folder_recordings_follow_the_phrase():
  audio, index = fake_real()
  empty = (np.zeros(0, np.int16), [])
  comp = roles(data.Corpus(audio, index, *empty, P.load("computer")))
  assert comp["real_word"] == 1 and comp["real_lead"] == 1 and comp["neural_word"] == 1
  assert comp["speech"] == 2 and comp["neural_speech"] == 1
  nova = roles(data.Corpus(audio, index, *empty, P.Phrase("hey nova")))
  assert "real_word" not in nova and "neural_word" not in nova and "real_lead" not in nova
  assert nova["confusable"] == 2 and nova["neural_speech"] == 2
  assert nova["speech"] == 1  # "I saw a nova" may say the phrase: no negative
  hey_computer = roles(data.Corpus(audio, index, *empty, P.Phrase("hey computer")))
  assert hey_computer["real_lead"] == 1 and hey_computer["neural_word"] == 1
  assert hey_computer["confusable"] == 1  # "computer" alone is part of the phrase only


def test_transformed_copies_of_the_recordings_take_their_source_role_for_the_phrase():
  # Praat's copies of "computer" recordings live in the synthetic index but keep their
  # source: positives for "computer", negatives for another phrase.
  copy = {"source": "precise_computer", "speaker": "krisgesling", "path": "x/0.wav",
          "kind": "real_word", "text": "computer", "transform": {}, "start": 0,
          "length": 1600, "split": "train"}
  empty = (np.zeros(0, np.int16), [])
  comp = roles(data.Corpus(*empty, np.ones(1600, np.int16), [copy], P.load("computer")))
  nova = roles(data.Corpus(*empty, np.ones(1600, np.int16), [copy], P.Phrase("hey nova")))
  assert comp.get("real_word") == 1 and "confusable" not in comp
  assert nova.get("confusable") == 1 and "real_word" not in nova


def test_without_a_data_folder_synthetic_talk_and_generated_noise_stand_in(tmp_path):
  assert data.load_real(str(tmp_path / "none"), str(tmp_path))[1] == []
  clip = lambda: np.full(3200, 1000, np.int16)
  synth_index = [{"synth": "flite", "voice": "flite_kal", "accent": "flite", "variant": "kal",
                  "kind": "neg", "text": "the sky", "start": 0, "length": 3200, "split": "train"}]
  c = data.Corpus(np.zeros(0, np.int16), [], clip(), synth_index, P.Phrase("hey nova"))
  assert len(c.clips("speech", "train")) == 1
  assert all(len(c.clips("noise", s)) == 6 for s in data.SPLITS)
  assert not np.array_equal(c.clips("noise", "train")[0], c.clips("noise", "test")[0])
  assert data.sentences_for_synthesis(None, P.Phrase("the weather"))
  assert not any("weather" in t for t in data.sentences_for_synthesis(None, P.Phrase("weather")))


def test_user_recordings_any_format_resampled_trimmed_and_split_by_file(tmp_path):
  rng = np.random.default_rng(1)
  tone = lambda sr: np.concatenate([np.zeros(sr // 2), 0.3 * np.sin(np.arange(sr) * 0.2),
                                    np.zeros(sr // 2)])
  for i in range(12):
    sr = (22050, 44100, 16000)[i % 3]
    x = tone(sr) + 1e-4 * rng.standard_normal(2 * sr)
    fmt = ("wav", "flac", "ogg")[i % 3]
    sf.write(tmp_path / f"take{i}.{fmt}", np.stack([x, x], axis=1), sr)
  (tmp_path / "notes.txt").write_text("not audio")
  audio, index = data.load_recordings(str(tmp_path), log=lambda m: None)
  assert len(index) == 12
  for e in index:
    assert 16000 <= e["length"] <= 16000 + 1600  # the second of tone, trimmed, at 16 kHz
  splits = [e["split"] for e in index]
  assert set(splits) <= {"train", "val"} and "train" in splits
  assert splits == [e["split"] for e in data.load_recordings(str(tmp_path), log=print)[1]]


def test_the_bundled_word_speaks_the_texts_it_was_trained_with():
  p = P.load("computer")
  texts = synth.Texts(p.forms, p.lead_ins, lookalikes.texts(p, "/nonexistent"), ["a", "b"])
  got = synth.plan_items(random.Random(5), texts, 4, 3, 2, 3)
  rng = random.Random(5)
  want = ([("word", rng.choice(COMPUTER_FORMS)) for _ in range(4)] +
          [("lead", rng.choice(COMPUTER_LEAD_INS)) for _ in range(3)] +
          [("neg", rng.choice(["a", "b"])) for _ in range(2)] +
          [("conf", rng.choice(p.confusables)) for _ in range(3)])
  assert got == want


def test_the_artefact_records_phrase_and_recipe_version():
  c = export.wake_word_config("hey nova")
  assert c["wake_word"] == "hey nova" and c["recipe_version"] == card.RECIPE_VERSION
  assert export.WAKE_WORD_CONFIG["wake_word"] == "computer"
  assert {k: v for k, v in export.WAKE_WORD_CONFIG.items() if k != "recipe_version"} == {
      "wake_word": "computer", "sample_rate": 16000, "window_size": 200, "threshold": 0.9,
      "cooldown_frames": 100, "trained_by": "tools/train (see docs/MODEL.md)"}


def listening_rows(frr_by_threshold):
  return [{"threshold": th, "pooled_fa_per_hour": fa,
           "families": {"all": {"frr": frr, "words": 10, "exactly_one": 1 - frr}}}
          for th, fa, frr in frr_by_threshold]


def test_the_card_says_plainly_when_a_model_is_not_usable(tmp_path):
  assert card.phrase_problems("hey", lookalikes.tokens("hˈeɪ"))
  assert card.phrase_problems("hey nova", lookalikes.tokens("hˈeɪ nˈoʊvə")) == []
  good = {"room": listening_rows([(0.5, 3.0, 0.02), (0.9, 0.8, 0.1)]),
          "quiet": listening_rows([(0.5, 2.0, 0.01), (0.9, 0.5, 0.2)])}
  assert card.model_problems(good) == [] and card.validation_point(good) == 0.2
  bad = {"room": good["room"], "quiet": listening_rows([(0.5, 2.0, 0.1), (0.9, 0.5, 0.4)])}
  assert "misses 40 %" in card.model_problems(bad)[0]
  never = {"room": listening_rows([(0.9, 3.0, 0.0)]), "quiet": good["quiet"]}
  assert "no threshold reaches" in card.model_problems(never)[0]
  docs = tmp_path / "eval"
  docs.mkdir()
  info = {"words": 10, "stream_hours": 0.1, "talk_hours": 0.1}
  (docs / "model_listening_val.json").write_text(json.dumps(dict(bad, info=info)))
  c = card.write(str(tmp_path / "hey_nova.qelt"), str(tmp_path), str(docs), "hey nova",
                 lookalikes.tokens("hˈeɪ nˈoʊvə"))
  md = (tmp_path / "hey_nova.md").read_text()
  assert md.startswith("**Not usable: at 1 false accept per hour it misses 40 %")
  assert not c["usable"] and c["recipe_version"] == card.RECIPE_VERSION
  assert json.loads((tmp_path / "hey_nova.json").read_text())["wake_word"] == "hey nova"
  (docs / "model_listening_val.json").write_text(json.dumps(dict(good, info=info)))
  c = card.write(str(tmp_path / "hey_nova.qelt"), str(tmp_path), str(docs), "hey nova",
                 lookalikes.tokens("hˈeɪ nˈoʊvə"))
  md = (tmp_path / "hey_nova.md").read_text()
  assert c["usable"] and md.startswith("# Wake word")
  # the card names whose words the listening figures counted, and no recordings as none
  (docs / "model_listening_val.json").write_text(json.dumps(dict(
      good, info=dict(info, voices={"synthetic voices": 7, "your recordings": 2}))))
  card.write(str(tmp_path / "hey_nova.qelt"), str(tmp_path), str(docs), "hey nova",
             lookalikes.tokens("hˈeɪ nˈoʊvə"))
  md = (tmp_path / "hey_nova.md").read_text()
  assert "10 wake words of 7 synthetic voices, 2 your recordings, one every" in md
  assert "- Your recordings: none.\n" in md


def test_progress_lines():
  p = progress.Progress("train", 100, start=20)
  p.t0 -= 40.0  # 20 steps took 40 s
  line = p.line(40, loss=0.1234567)
  assert line.startswith("[train] step 40/100 loss 0.1235 elapsed 40s left ~2m00s"), line
  assert progress.clock(3725) == "1h02m" and "left ?" in progress.Progress("x", 5).line(0)
