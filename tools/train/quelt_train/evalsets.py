"""File: evalsets.py -- the held-out test material, built deterministically.

Positives: every test-voice wake word (synthetic voices never used in training, and the one
real contributor held out) in a 5 s stream of held-out noise and speech, mixed at exactly
10 dB SNR against the word. Negatives: long streams of held-out real speech (speakers never
used in training), held-out synthetic speech and look-alike words in held-out noise, and
noise alone; at least two hours in all.
"""

import numpy as np

from . import augment
from . import frontend as fe

SR = fe.SAMPLE_RATE


def _test_noise(composer, n, rng):
  """Held-out noise: real test recordings, coloured noise, babble of test speech, hum."""
  return composer.noise_bed(n, rng)


def positive_streams(corpus, snr_db=10.0, seed=2024, real=False, limit=None):
  """[(audio, word_start_frame, word_end_frame, entry)] in the test split."""
  comp = augment.Composer(corpus, "test", 500)
  rng = np.random.default_rng(seed)
  roles = ("real_word", "real_lead") if real else ("word", "lead")
  items = [it for r in roles for it in corpus.entries(r, "test")]
  if limit:
    items = [items[i] for i in rng.permutation(len(items))[:limit]]
  out = []
  for clip, entry in items:
    n = comp.n
    end_frame = 260
    end = fe.HOP_LENGTH * end_frame + fe.FRAME_LENGTH
    start = end - len(clip)
    fg = np.zeros(n, np.float32)
    comp._place(fg, clip, start)
    if rng.random() < 0.5:
      after = comp._negative_speech(rng)
      comp._place(fg, after * augment.db(rng.uniform(-6, 0)), end + int(rng.uniform(0.1, 0.5) * SR))
    bed = _test_noise(comp, n, rng)
    level = augment.rms(clip) * augment.db(-snr_db)
    x = fg + bed * level
    x = x * augment.db(rng.uniform(-20, 0)) * 0.9 / (np.max(np.abs(x)) + 1e-9)
    start_frame = max(0, (start - fe.FRAME_LENGTH) // fe.HOP_LENGTH)
    out.append((x.astype(np.float32), start_frame, end_frame, entry))
  return out


def recordings_alone(corpus, split, lead_seconds=1.0, tail_seconds=1.0):
  """[(audio, entry)]: each real wake-word recording of the split as it was recorded (its
  silence trimmed), a short session of its own, between silences as the command-line tool
  feeds a recording: a device hears its room before anyone speaks and goes on hearing it."""
  lead = np.zeros(int(lead_seconds * SR), np.float32)
  tail = np.zeros(int(tail_seconds * SR), np.float32)
  return [(np.concatenate([lead, np.asarray(clip, np.float32), tail]), entry)
          for role in ("real_word", "real_lead") for clip, entry in corpus.entries(role, split)]


def negative_streams(corpus, seed=4048, minutes=10.0):
  """Long held-out negative streams: [(name, audio)], about 2.5 h in all."""
  rng = np.random.default_rng(seed)
  comp = augment.Composer(corpus, "test", 500)
  streams = []
  # Real held-out speakers, utterance after utterance with short pauses, in a quiet room.
  clips = corpus.clips("speech", "test")
  order = rng.permutation(len(clips))
  cur, cur_len, k = [], 0, 0
  for i in order:
    gap = np.zeros(int(rng.uniform(0.2, 1.2) * SR), np.float32)
    cur += [clips[i], gap]
    cur_len += len(clips[i]) + len(gap)
    if cur_len >= minutes * 60 * SR:
      streams.append((f"real_speech_{k}", np.concatenate(cur)))
      cur, cur_len, k = [], 0, k + 1
  if cur:
    streams.append((f"real_speech_{k}", np.concatenate(cur)))
  # Held-out synthetic voices: sentences and look-alike words, in held-out noise at 10 dB.
  synth = corpus.clips("synth_speech", "test") + corpus.clips("confusable", "test")
  parts = []
  for i in rng.permutation(len(synth)):
    gap = np.zeros(int(rng.uniform(0.3, 1.5) * SR), np.float32)
    parts += [synth[i] * augment.db(rng.uniform(-6, 0)), gap]
  x = np.concatenate(parts)
  bed = np.concatenate([_test_noise(comp, comp.n, rng) for _ in range(len(x) // comp.n + 1)])
  x = x + bed[: len(x)] * augment.rms(x[np.abs(x) > 1e-4]) * augment.db(-10)
  x = x * 0.5 / (np.max(np.abs(x)) + 1e-9)
  for j in range(0, len(x), int(minutes * 60 * SR)):
    streams.append((f"synthetic_speech_{j // int(minutes * 60 * SR)}", x[j: j + int(minutes * 60 * SR)]))
  # Held-out noise alone.
  noise = [c * augment.db(rng.uniform(-20, -3)) / (np.max(np.abs(c)) + 1e-9)
           for c in corpus.clips("noise", "test")]
  streams.append(("noise", np.concatenate(noise).astype(np.float32)))
  return [(name, np.clip(a, -1, 1).astype(np.float32)) for name, a in streams]
