"""The extra synthesisers: each renders 16 kHz float audio, its random rate and pitch take
effect, and the engine loop skips an engine that cannot run and keeps the others' draws."""

import random

import numpy as np
import pytest

from quelt_train import (voices, voices_gnuspeech, voices_mbrola, voices_pico, voices_rhvoice,
                         synth)

SR = 16000


def f0(clip):
  """Median pitch of the voiced 40 ms frames, by autocorrelation (60 to 500 Hz)."""
  hop, win = 320, 640
  frames = [clip[i: i + win] for i in range(0, len(clip) - win, hop)]
  energy = np.array([np.mean(f**2) for f in frames])
  est = []
  for f, e in zip(frames, energy):
    if e < 0.1 * energy.max():
      continue
    f = f - f.mean()
    a = np.correlate(f, f, "full")[win - 1:]
    lo, hi = SR // 500, SR // 60
    lag = lo + int(np.argmax(a[lo:hi]))
    if a[lag] > 0.5 * a[0]:
      est.append(SR / lag)
  return float(np.median(est))


def _need(engine):
  why = engine.available()
  if why:
    pytest.skip(f"{engine.NAME}: {why}")


# (engine, voice, slow and low parameters, fast and high ones)
SETTINGS = [
    (voices_rhvoice, "bdl", {"rate": 70, "pitch": 75}, {"rate": 150, "pitch": 135}),
    (voices_pico, "en-GB", {"speed": 75, "pitch": 75}, {"speed": 135, "pitch": 135}),
    (voices_mbrola, "us2", {"speed": 110, "pitch": 20}, {"speed": 200, "pitch": 85}),
]


@pytest.mark.parametrize("engine,voice,slow,fast", SETTINGS, ids=lambda x: getattr(x, "NAME", ""))
def test_an_engine_renders_16k_audio_and_its_rate_and_pitch_take_effect(engine, voice, slow,
                                                                         fast, tmp_path):
  _need(engine)
  text = "okay computer, turn on the lights"
  a = engine.render(voice, text, slow, str(tmp_path))
  b = engine.render(voice, text, fast, str(tmp_path))
  for clip in (a, b):
    assert clip.dtype == np.float64 and clip.ndim == 1
    assert 0.05 < np.abs(clip).max() <= 1.0
    assert 0.6 * SR < len(synth.trim(clip)) < 6 * SR
  assert len(synth.trim(a)) > 1.3 * len(synth.trim(b))
  assert f0(b) > 1.3 * f0(a)
  assert list(tmp_path.iterdir()) == []  # no file is left behind
  rng = random.Random(3)
  for v in engine.VOICES:
    p = engine.draw(rng, v)
    assert set(p) == set(slow)
    assert all(min(slow[k], fast[k]) <= p[k] <= max(slow[k], fast[k]) for k in p)


def test_pico_markup_carries_the_settings_and_escapes_the_text():
  m = voices_pico.markup("a <b> & c", {"speed": 90, "pitch": 120})
  assert m == "<speed level='90'><pitch level='120'>a &lt;b&gt; &amp; c</pitch></speed>"


def test_gnuspeech_voices_span_men_women_and_children(tmp_path):
  _need(voices_gnuspeech)
  rng = random.Random(5)
  jobs = [("computer", voices_gnuspeech.draw(rng, v)) for v in ("man02", "woman03", "child04")]
  jobs.append(("okay computer", jobs[0][1]))
  man, woman, child, again = voices_gnuspeech.render_batch("mixed", jobs, str(tmp_path))
  for clip in (man, woman, child, again):
    assert clip is not None and 0.3 * SR < len(synth.trim(clip)) < 3 * SR
  assert f0(man) < 170 < f0(woman) < f0(child)
  assert len(synth.trim(again)) > len(synth.trim(man))
  assert list(tmp_path.iterdir()) == []
  # the draws stay in their kind's region, and a voice's centre is its own and fixed
  for v in voices_gnuspeech.VOICES:
    (l0, l1), (p0, p1), _ = voices_gnuspeech.RANGES[v.rstrip("0123456789")]
    p = voices_gnuspeech.draw(rng, v)
    assert 0.95 * l0 <= p["vocal_tract_length"] <= 1.05 * l1
    assert p0 - 1.5 <= p["reference_glottal_pitch"] <= p1 + 1.5
  assert voices_gnuspeech.centre("child01") == voices_gnuspeech.centre("child01")
  assert len({voices_gnuspeech.centre(v) for v in voices_gnuspeech.VOICES}) == 18


class FakeEngine:
  """An engine that renders a tone per clip, or is missing."""

  def __init__(self, name, missing=None):
    self.NAME, self.VOICES, self.PLAN, self.missing = name, ("a", "b"), (2, 1, 1, 1), missing
    self.__name__ = name

  def available(self):
    return self.missing

  def draw(self, rng, voice):
    return {"hz": rng.randint(100, 400)}

  def render_batch(self, voice, jobs, tmpdir):
    return [np.sin(np.arange(SR // 2) * 2 * np.pi * p["hz"] / SR) for _, p in jobs]


def test_the_loop_skips_a_missing_engine_and_keeps_every_other_engines_draws():
  texts = synth.Texts(["computer"], ["hey computer"], ["commuter"], ["a sentence"])
  plan = lambda rng, counts: synth.plan_items(rng, texts, *counts)
  one, two = FakeEngine("one"), FakeEngine("two")
  lines = []
  alone = [e for _, e in voices.render_engines(plan, 7, "/nonexistent", 2, lines.append, [two])]
  both = [e for _, e in voices.render_engines(plan, 7, "/nonexistent", 2, lines.append,
                                              [FakeEngine("one", "no one here"), two])]
  assert both == alone and len(alone) == 10
  assert any(line.startswith("one: skipped, no one here") for line in lines)
  assert sum(e["kind"] == "word" for e in alone) == 4
  assert {e["voice"] for e in alone} == {"two_a", "two_b"}
  assert all(e["synth"] == "two" and e["accent"] == "two" and "hz" in e["params"] for e in alone)
  clips = [c for c, _ in voices.render_engines(plan, 7, "/nonexistent", 2, lines.append, [one])]
  hz = [e["params"]["hz"] for _, e in voices.render_engines(plan, 7, "", 2, print, [one])]
  # every clip comes back in its job's place, whichever worker rendered it
  for c, h in zip(clips, hz):
    spectrum = np.abs(np.fft.rfft(c))
    assert abs(np.argmax(spectrum) * SR / len(c) - h) < 3
