"""The listening streams: word layout, talk kept off the words, the counting of found words
and false accepts, and one engine session per stream."""

import numpy as np

from quelt_train import augment, listening, metrics
from quelt_train import frontend as fe

SR = fe.SAMPLE_RATE


class Corpus:
  """A few clips per role of the test split: tones for words, noise for everything else."""

  def __init__(self):
    rng = np.random.default_rng(5)
    tone = lambda s, f: (np.sin(np.arange(int(s * SR)) * 2 * np.pi * f / SR) * 0.5).astype(np.float32)
    noise = lambda s: (rng.standard_normal(int(s * SR)) * 0.1).astype(np.float32)
    self.c = {"neural_word": [(tone(0.8, 500), {"speaker": "v1"}), (tone(0.9, 700), {"speaker": "v2"})],
              "real_word": [(tone(0.6, 900), {"speaker": "el-tocino"})],
              "speech": [(noise(3.0), {}), (noise(1.5), {})],
              "neural_speech": [(noise(0.7), {})], "false_activation": [(noise(1.0), {})],
              "room_noise": [(noise(0.5), {})],
              "noise": [(noise(4.0), {"source": "speech_commands_bg"}),
                        (noise(2.0), {"source": "precise_bg_noise"})]}

  def entries(self, role, split):
    return self.c.get(role, []) if split == "test" else []

  def clips(self, role, split):
    return [c for c, _ in self.entries(role, split)]


def test_words_every_8_to_20_s_and_talk_never_on_a_word():
  corpus = Corpus()
  words = listening.held_out_words(corpus, repeats=3)
  assert len(words) == 9 and sum(f == "real contributor" for _, f, _ in words) == 3
  rng = np.random.default_rng(1)
  starts, n = listening.layout(words, rng)
  gaps = np.diff([0] + starts) / SR
  assert np.all((gaps >= 8) & (gaps <= 20)) and n == starts[-1] + 20 * SR
  # a bed far below the words: whatever is left of the word spans after removing the words
  # must be the bed alone, so talk and events never overlap a word
  x, spans = listening.render(words, starts, n, rng, corpus.clips("noise", "test"), 120.0,
                              corpus.clips("speech", "test"), corpus.clips("room_noise", "test"),
                              p_talk=1.0, p_event=1.0)
  assert x.dtype == np.float32 and len(x) == n
  for (clip, _, _), (a, b) in zip(words, spans):
    word = listening.at_level(clip, listening.REF_RMS)
    assert np.max(np.abs(x[a:b] - word)) < 1e-5
    assert abs(listening.active_rms(x[a:b]) / listening.REF_RMS - 1) < 1e-3
  talk_share = np.mean(np.abs(x) > 1e-4)
  assert talk_share > 0.4  # the gaps are full of talk


def test_the_bed_sits_at_the_asked_snr_under_the_words():
  corpus = Corpus()
  words = listening.held_out_words(corpus, repeats=2)
  rng = np.random.default_rng(2)
  starts, n = listening.layout(words, rng)
  x, spans = listening.render(words, starts, n, rng, corpus.clips("noise", "test"), 10.0)
  quiet = np.ones(n, bool)
  for a, b in spans:
    quiet[a - SR: b + SR] = False
  snr = 20 * np.log10(listening.REF_RMS / augment.rms(x[quiet]))
  assert 9.5 < snr < 10.5


def test_found_words_and_false_accepts_outside_the_windows():
  spans = [(1000 * 160, 1000 * 160 + 8000), (3000 * 160, 3000 * 160 + 8000)]
  windows = listening.word_windows(spans)
  # the first frame holding the word's first sample; 1 s after the frame that completes it
  assert windows[0] == (998, 1000 + (8000 - 400) // 160 + 100)
  s = np.zeros(360000, np.float32)          # one hour of frames
  s[windows[0][1]] = 0.95                   # the last frame of the first window: found
  s[windows[0][1] + 1] = 0.95               # the cooldown hides this one
  s[2000] = 0.99                            # between the words: a false accept
  s[windows[1][0] + 10] = 0.97              # the second word, found ...
  s[windows[1][0] + 120] = 0.97             # ... and again, inside its window: a false accept
  fams = ["a", "b"]
  r = listening.count(s, windows, fams, 0.9)
  assert r["fa_count"] == 2 and r["families"]["all"]["frr"] == 0.0
  assert r["families"]["a"]["exactly_one"] == 1.0 and r["families"]["b"]["exactly_one"] == 0.0
  covered = sum(b - a + 1 for a, b in windows)
  assert abs(r["hours_outside"] - (360000 - covered) / 360000) < 1e-12
  r = listening.count(s, windows, fams, 0.965)
  assert r["families"]["a"]["frr"] == 1.0 and r["families"]["b"]["frr"] == 0.0
  assert r["fa_count"] == 2 and r["families"]["all"]["frr"] == 0.5
  # the sweep pools the talk stream's false accepts with the stream's
  talk = np.zeros(360000, np.float32)
  talk[[10, 5000]] = 0.99
  rows = listening.sweep(s, windows, fams, talk, np.float32([0.9, 0.98]))
  assert rows[0]["talk_fa_count"] == 2 and rows[1]["fa_count"] == 1
  assert abs(rows[0]["pooled_fa_per_hour"] - 4 / (1 + r["hours_outside"])) < 1e-9
  assert listening.frr_at(rows, "all", 0.5) is None
  assert listening.frr_at(rows, "all", 3.0)["threshold"] == np.float32(0.9)


def test_fast_gate_equals_the_frame_by_frame_gate():
  rng = np.random.default_rng(3)
  s = rng.random(20000).astype(np.float32)
  s[rng.integers(0, 20000, 50)] = np.nan

  def slow(scores, th, cd):
    out, rem = [], 0
    for i, v in enumerate(scores):
      if rem > 0:
        rem -= 1
      elif v >= th:
        out.append(i)
        rem = cd
    return out

  for th, cd in ((0.9, 100), (0.999, 3), (0.1, 0), (0.5, 250)):
    assert metrics.detections(s, np.float32(th), cd) == slow(s, np.float32(th), cd)


class RecordingScorer:
  """Stands in for the engine: records what it was given and returns constant scores."""

  def __init__(self):
    self.calls = []

  def scores(self, audio):
    self.calls.append(("array", len(audio)))
    return np.zeros(fe.n_frames(len(audio)), np.float32)

  def scores_many(self, streams):
    self.calls.append(("separate sessions", len(streams)))
    return [np.zeros(fe.n_frames(len(a)), np.float32) for a in streams]

  def scores_files(self, paths):
    import soundfile as sf
    n = [sf.info(p).frames for p in paths]
    self.calls.append(("files", n))
    return [np.zeros(fe.n_frames(k), np.float32) for k in n]


def test_each_stream_is_one_session_of_the_engine(tmp_path):
  scorer = RecordingScorer()
  out = listening.evaluate(Corpus(), scorer, str(tmp_path), repeats=2, talk_hours=0.01,
                           log=lambda m: None)
  # one call per stream, each with the whole stream: nothing is cut or reset in between
  assert [c[0] for c in scorer.calls[:3]] == ["array", "array", "files"]
  assert all(c[0] == "separate sessions" for c in scorer.calls[3:])
  assert scorer.calls[0][1] == scorer.calls[1][1] == out["info"]["stream_hours"] * 3600 * SR
  assert len(scorer.calls[2][1]) == 1 and scorer.calls[2][1][0] >= 0.01 * 3600 * SR
  assert list(tmp_path.iterdir()) == []
  default = [r for r in out["room"] if r["threshold"] == np.float32(0.9)][0]
  assert default["families"]["all"]["words"] == 6 and default["families"]["all"]["frr"] == 1.0
  assert default["fa_count"] == 0 and out["info"]["voices"]["neural voices"] == 2
  assert out["alone_after_reset"]["real contributor"] == {"clips": 1, "detected": 0}


class LeansOnSilence:
  """Detects only when the session's first half second was digital silence."""

  def scores_many(self, streams):
    out = []
    for a in streams:
      s = np.zeros(fe.n_frames(len(a)), np.float32)
      s[-1] = 1.0 if not np.any(a[: SR // 2]) else 0.0
      out.append(s)
    return out


def test_the_after_room_curve_keeps_each_duration_with_its_streams():
  corpus = Corpus()
  curve = listening.after_room_curve(corpus, LeansOnSilence(), {
      "silence": (None, 0.0), "room": (corpus.clips("noise", "test"), 10.0)},
      seconds=(0.0, 0.5, 2.0))
  assert curve["silence"] == {"0.0": 0.0, "0.5": 1.0, "2.0": 1.0}
  assert curve["room"] == {"0.0": 0.0, "0.5": 0.0, "2.0": 0.0}


def test_prepared_synthetic_voices_join_once_and_spread():
  corpus = Corpus()
  tone = (np.sin(np.arange(8000) * 0.3) * 0.5).astype(np.float32)
  corpus.c["word"] = [(tone, {"voice": f"espeak_{i}"}) for i in range(6)]
  words = listening.held_out_words(corpus, repeats=2, synthetic_limit=4)
  fams = [f for _, f, _ in words]
  assert len(words) == 2 * 3 + 4 and fams.count("synthetic voices") == 4
  at = [i for i, f in enumerate(fams) if f == "synthetic voices"]
  assert at[0] == 0 and at[-1] < len(words) - 1 and min(np.diff(at)) >= 2
