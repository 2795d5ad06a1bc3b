"""The Praat transform: the pitch median and formants move as asked, the duration stays, a
clip Praat fails on costs only itself, and copies are made of training positives alone."""

import random

import numpy as np
import pytest

from quelt_train import data, synth, voice_transform, voices_rhvoice
from test_voices import f0

SR = 16000


def vowel(hz, seconds=1.0):
  """A glottal pulse train through two formant resonators (an /a/ at 700 and 1200 Hz)."""
  from scipy.signal import lfilter
  n = int(seconds * SR)
  x = np.zeros(n)
  x[:: int(SR / hz)] = 1.0
  for fc, bw in ((700, 90), (1200, 110)):
    r = np.exp(-np.pi * bw / SR)
    x = lfilter([1 - r], [1, -2 * r * np.cos(2 * np.pi * fc / SR), r * r], x)
  return 0.5 * x / np.abs(x).max()


def centroid(clip):
  spectrum = np.abs(np.fft.rfft(clip)) ** 2
  freqs = np.fft.rfftfreq(len(clip), 1 / SR)
  return float((spectrum * freqs).sum() / spectrum.sum())


@pytest.fixture
def need_praat():
  why = voice_transform.available()
  if why:
    pytest.skip(why)


def test_pitch_median_and_formants_move_and_the_duration_stays(need_praat, tmp_path):
  src = vowel(120.0)
  params = [{"formant_ratio": 1.0, "pitch_median": 240.0, "pitch_range": 1.0},
            {"formant_ratio": 0.85, "pitch_median": 150.0, "pitch_range": 1.0},
            {"formant_ratio": 1.2, "pitch_median": 150.0, "pitch_range": 1.0}]
  up, long_tract, short_tract = voice_transform.change_gender([src] * 3, params, str(tmp_path))
  assert abs(f0(src) - 120) < 3 and abs(f0(up) - 240) < 8
  assert all(abs(len(c) - len(src)) < 0.01 * SR for c in (up, long_tract, short_tract))
  assert abs(f0(long_tract) - f0(short_tract)) < 8
  assert centroid(short_tract) > 1.2 * centroid(long_tract)
  assert list(tmp_path.iterdir()) == []


def test_a_clip_praat_fails_on_costs_only_itself(need_praat, tmp_path):
  clip = vowel(150.0, 0.5)
  p = {"formant_ratio": 1.1, "pitch_median": 200.0, "pitch_range": 1.2}
  out = voice_transform.change_gender([clip, np.zeros(5), clip, clip], [p] * 4, str(tmp_path))
  assert out[1] is None and all(out[i] is not None and abs(f0(out[i]) - 200) < 8
                                for i in (0, 2, 3))
  assert list(tmp_path.iterdir()) == []


def test_draws_pair_a_shorter_tract_with_a_higher_voice():
  rng = random.Random(2)
  draws = [voice_transform.draw(rng) for _ in range(2000)]
  ratio = np.array([d["formant_ratio"] for d in draws])
  median = np.array([d["pitch_median"] for d in draws])
  assert 0.85 <= ratio.min() and ratio.max() <= 1.2 and 75 <= median.min() <= median.max() <= 400
  assert np.corrcoef(ratio, np.log(median))[0, 1] > 0.6
  assert all(0.5 <= d["pitch_range"] <= 1.5 for d in draws)


def test_copies_are_made_of_training_positives_alone_and_keep_their_source(monkeypatch):
  monkeypatch.setattr(voice_transform, "change_gender",
                      lambda clips, params, tmpdir, workers=2: [c * 0.5 for c in clips])
  monkeypatch.setattr(voice_transform, "available", lambda: None)
  entries = [{"synth": "flite", "voice": "flite_" + v, "accent": "flite", "variant": v,
              "kind": k, "text": "computer"}
             for v in ("awb", "rms") for k in ("word", "lead", "neg", "conf")]
  entries.append({"synth": "mbrola", "voice": "mbrola_us1", "accent": "mbrola",
                  "variant": "us1", "kind": "word", "text": "computer"})
  clips = [np.full(1600, i + 1.0) for i in range(len(entries))]
  clips[1] = None  # a clip the engine failed on
  real = [(np.ones(800), {"source": "precise_computer", "speaker": s, "path": f"{s}.wav",
                          "text": "computer"}) for s in ("krisgesling", "el-tocino")]
  real.append((np.ones(800), {"source": "ovos_mimic3_positive", "speaker": "en_US_cmu-arctic_slt",
                              "path": "slt.wav", "text": "hey computer"}))
  copies, meta = voice_transform.transformed_copies(clips, entries, real, random.Random(1), 1.0,
                                                    2, "/nonexistent", log=lambda m: None)
  assert len(copies) == len(meta) == 1 + 2 + 2
  assert [m.get("voice") for m in meta[:1]] == ["flite_awb"] and meta[0]["kind"] == "word"
  assert [m["speaker"] for m in meta[1:]] == ["krisgesling"] * 2 + ["en_US_cmu-arctic_slt"] * 2
  assert [m["kind"] for m in meta[1:]] == ["real_word"] * 2 + ["neural_word"] * 2
  assert all(data.synth_split(m) == "train" and "formant_ratio" in m["transform"] for m in meta)
  assert meta[1]["transform"] != meta[2]["transform"]
  # the copies take the roles of their sources in the corpus
  index, pos = [], 0
  for c, m in zip(copies, meta):
    index.append(dict(m, start=pos, length=len(c), split=data.synth_split(m)))
    pos += len(c)
  audio = np.concatenate([np.round(c * 1000).astype(np.int16) for c in copies])
  corpus = data.Corpus(np.zeros(0, np.int16), [], audio, index)
  assert [len(corpus.clips(r, "train")) for r in ("word", "real_word", "neural_word")] == [1, 2, 2]


def test_a_synthetic_voice_transformed_end_to_end(need_praat, tmp_path):
  if voices_rhvoice.available():
    pytest.skip("no RHVoice")
  clip = voices_rhvoice.render("slt", "computer", {"rate": 100, "pitch": 100}, str(tmp_path))
  clip = synth.finish(synth.trim(clip))
  p = {"formant_ratio": 0.9, "pitch_median": 110.0, "pitch_range": 0.8}
  out, = voice_transform.change_gender([clip.astype(np.float64) / 32768], [p], str(tmp_path))
  assert f0(clip.astype(np.float64)) > 150 and abs(f0(out) - 110) < 10
