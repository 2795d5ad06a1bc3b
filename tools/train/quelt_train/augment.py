"""File: augment.py -- builds labelled training streams from clips, with augmentation.

One example is a few seconds of audio as the engine would hear it after its warm-up: a bed of
noise (real recordings, coloured noise, babble of synthetic and real speech, mains hum, tones
and note sequences) at 0 to 20 dB SNR under speech that may or may not hold the wake word,
with random tempo and pitch, room reverberation, band limits (telephone, far field) and gain.
Each frame gets a label: 1 inside a short window right after the wake word ends (one frame
there must reach the threshold), -1 where the score is free (the end of the word and the
first 0.8 s after it, which the cooldown covers), 0 everywhere else.
"""

import io

import numpy as np
import soundfile as sf
from scipy.fft import next_fast_len
from scipy.signal import resample_poly

from . import frontend as fe

SR = fe.SAMPLE_RATE
POS_BEFORE, POS_AFTER = 5, 40        # positive window around the frame that ends the word
FREE_BEFORE, FREE_AFTER = 15, 80     # score unconstrained in [end - 15, end + 80)
# The engine listens continuously, so when a word comes its 2 s pool and the network's 2.4 s
# receptive field (12 taps x the dilations' sum of 20) hold sound, not the warm-up's silence.
# A "settled" word ends after this frame. Fine-tuning on the pooled score puts most words
# there (p_settled). The per-frame stage lets words end from 1.2 s to 1.3 s before the end of
# its 3 s streams, which made the model that hears real people best: settled words, or
# words ending up to 2.7 s in, fitted the synthetic voices better and real people worse.
SETTLED_FRAME = 250
# Training streams open with this much of their own room and carry targets only after it:
# 2 s of pool plus the 2.4 s receptive field, so no target frame sees the warm-up's silence.
RUN_IN_FRAMES = 440
# Share of the wake words taken from real recordings: they are few (one training person's
# takes and their transformed copies), so more would fit that person.
P_REAL = 0.12


def db(x):
  return 10.0 ** (x / 20.0)


def rms(x):
  return float(np.sqrt(np.mean(np.square(x, dtype=np.float64)) + 1e-12))


def speed(clip, rng, lo=0.85, hi=1.15):
  """Resampling changes tempo and pitch together, like a faster or slower, higher or lower voice."""
  r = rng.uniform(lo, hi)
  up = 100
  down = int(round(up * r))
  return resample_poly(clip, up, down).astype(np.float32) if down != up else clip


def coloured_noise(n, rng, fast=False):
  """White, pink, brown or blue noise, scaled to unit RMS. fast: drawn at a length the FFT
  takes quickly and cut to n (the long streams' length has a large prime factor)."""
  m = next_fast_len(n, real=True) if fast else n
  spec = np.fft.rfft(rng.standard_normal(m))
  f = np.maximum(np.fft.rfftfreq(m), 1.0 / m)
  spec *= f ** rng.choice([0.0, -0.5, -1.0, 0.5, rng.uniform(-1.0, 0.5)])
  x = np.fft.irfft(spec, m)[:n]
  return (x / (rms(x) + 1e-12)).astype(np.float32)


def hum(n, rng):
  t = np.arange(n) / SR
  f0 = rng.choice([50.0, 60.0, rng.uniform(80, 400)])
  x = sum(rng.uniform(0.1, 1.0) / k * np.sin(2 * np.pi * f0 * k * t + rng.uniform(0, 6.3))
          for k in range(1, rng.integers(2, 9)))
  return (x / (rms(x) + 1e-12)).astype(np.float32)


def tones(n, rng):
  """Beeps and simple note sequences with harmonics: music-like, wake-word-free sound."""
  x = np.zeros(n)
  pos = 0
  while pos < n:
    length = int(rng.uniform(0.08, 0.6) * SR)
    f0 = 110.0 * 2 ** (rng.integers(0, 48) / 12.0)
    t = np.arange(min(length, n - pos)) / SR
    env = np.minimum(1.0, np.minimum(t / 0.01, (t[-1] - t + 1e-3) / 0.05))
    note = sum(rng.uniform(0.2, 1.0) / k * np.sin(2 * np.pi * f0 * k * t)
               for k in range(1, rng.integers(1, 6)) if f0 * k < 7800)
    x[pos: pos + len(t)] += env * note
    pos += len(t) + int(rng.uniform(0, 0.3) * SR)
  return (x / (rms(x) + 1e-12)).astype(np.float32)


def room(x, rng):
  """Convolution with a synthetic room response: direct path and an exponential tail."""
  rt60 = rng.uniform(0.15, 0.9)
  n = int(rt60 * SR)
  t = np.arange(n) / SR
  tail = rng.standard_normal(n) * np.exp(-6.9 * t / rt60)
  tail[: int(0.002 * SR)] = 0
  rir = tail * rng.uniform(0.1, 0.6) / (np.sqrt(np.sum(tail ** 2)) + 1e-12)
  rir[0] = 1.0
  m = next_fast_len(len(x) + n, real=True)
  y = np.fft.irfft(np.fft.rfft(x, m) * np.fft.rfft(rir, m), m)[: len(x)]
  return (y * rms(x) / (rms(y) + 1e-12)).astype(np.float32)


def band_limit(x, rng, fast=False):
  """Telephone band, far-field low-pass or a thin high-pass, by a smooth spectral mask.
  fast: the FFT over the signal zero-padded to a quick length."""
  m = next_fast_len(len(x), real=True) if fast else len(x)
  f = np.fft.rfftfreq(m, 1.0 / SR)
  kind = rng.integers(0, 3)
  if kind == 0:
    lo, hi = rng.uniform(200, 400), rng.uniform(3000, 3800)
  elif kind == 1:
    lo, hi = 0.0, rng.uniform(1800, 5000)
  else:
    lo, hi = rng.uniform(150, 600), 8000.0
  mask = 1.0 / (1.0 + (f / hi) ** 8) * (1.0 / (1.0 + (lo / np.maximum(f, 1.0)) ** 4) if lo else 1)
  return np.fft.irfft(np.fft.rfft(x, m) * mask, m)[: len(x)].astype(np.float32)


def opus_round_trip(clip):
  """The clip encoded as Opus and decoded again, the same length and in place: the negative
  speech is Opus and the wake words are WAV, so a share of the words goes through the same
  codec and no codec trace tells the classes apart."""
  buf = io.BytesIO()
  sf.write(buf, np.asarray(clip, np.float32), SR, format="OGG", subtype="OPUS")
  buf.seek(0)
  y, _ = sf.read(buf, dtype="float32")
  out = np.zeros(len(clip), np.float32)
  out[: min(len(y), len(clip))] = y[: len(clip)]
  return out


def _random_slice(clip, n, rng):
  if len(clip) >= n:
    s = rng.integers(0, len(clip) - n + 1)
    return clip[s: s + n]
  reps = int(np.ceil(n / len(clip)))
  return np.tile(clip, reps)[:n]


class Composer:
  """Draws labelled examples for one split from a Corpus."""

  def __init__(self, corpus, split, n_frames=300, p_positive=0.5, p_talk=0.0, p_real=P_REAL,
               p_settled=0.0, run_in_frames=0, p_neural=0.3, p_opus=0.0, p_reset=0.0):
    """n_frames: the frames that carry targets; run_in_frames: frames of the same room
    before them that carry none (labels -1), so that the pool and the receptive field of
    every target frame hold the stream's own sound. p_neural: the share of the wake words not
    taken from the real recordings that the neural voices say, when the split has them.
    p_opus: the share of wake words passed through an Opus round trip. p_reset: the share of
    streams whose run-in is digital silence, as a session hears it just after a reset (or
    after its warm-up), so that its first seconds still find the word."""
    self.p_opus = p_opus
    self.p_reset = p_reset
    self.run_in = run_in_frames
    self.n_frames = n_frames + run_in_frames
    self.p_real = p_real
    self.p_neural = p_neural
    self.p_talk = p_talk
    self.p_settled = p_settled
    self.n = fe.HOP_LENGTH * (self.n_frames - 1) + fe.FRAME_LENGTH
    self.p_positive = p_positive
    self.synth_pos = corpus.clips("word", split) + corpus.clips("lead", split)
    # real people: the data folder's recordings of the phrase and the user's own
    self.real_pos = (corpus.clips("real_word", split) + corpus.clips("real_lead", split) +
                     corpus.clips("user_word", split))
    self.neural_pos = corpus.clips("neural_word", split)
    self.speech = corpus.clips("speech", split)
    self.synth_speech = corpus.clips("synth_speech", split)
    # the neural voices' other phrases: the same voices as their wake words, so that a voice
    # is not what the network keys on
    self.neural_speech = corpus.clips("neural_speech", split)
    self.confusable = corpus.clips("confusable", split)
    self.noise = (corpus.clips("noise", split) + corpus.clips("room_noise", split) +
                  corpus.clips("false_activation", split))
    # Without prepared synthesis (a smoke test) the neural voices or the user's recordings
    # alone say the phrase.
    assert (self.synth_pos or self.neural_pos or self.real_pos) and self.speech

  def _negative_speech(self, rng):
    r = rng.random()
    if self.neural_speech:
      if r < 0.15:
        return self.neural_speech[rng.integers(len(self.neural_speech))]
      r = (r - 0.15) / 0.85
    if r < 0.45 or not (self.synth_speech or self.confusable):
      pool = self.speech
    elif self.synth_speech and (r < 0.75 or not self.confusable):
      pool = self.synth_speech
    else:
      pool = self.confusable
    return pool[rng.integers(len(pool))]

  def _positive(self, rng):
    if self.real_pos and (rng.random() < self.p_real or not (self.synth_pos or self.neural_pos)):
      return self.real_pos[rng.integers(len(self.real_pos))]
    if self.neural_pos and (not self.synth_pos or rng.random() < self.p_neural):
      return self.neural_pos[rng.integers(len(self.neural_pos))]
    return self.synth_pos[rng.integers(len(self.synth_pos))]

  def noise_bed(self, n, rng, exclude_babble=False):
    r = rng.random()
    if self.noise and r < 0.35:
      x = _random_slice(self.noise[rng.integers(len(self.noise))], n, rng)
      return x / (rms(x) + 1e-12)  # like every other bed: unit RMS, so the SNR holds
    if r < 0.55:
      return coloured_noise(n, rng, fast=bool(self.run_in))
    if r < 0.75 and not exclude_babble:
      x = np.zeros(n, np.float32)
      for _ in range(rng.integers(3, 7)):
        c = self._negative_speech(rng)
        x += _random_slice(c, n, rng) * db(rng.uniform(-6, 0))
      return x / (rms(x) + 1e-12)
    if r < 0.87:
      return hum(n, rng)
    return tones(n, rng)

  def _place(self, fg, clip, start):
    s0, s1 = max(0, start), min(self.n, start + len(clip))
    if s1 > s0:
      fg[s0:s1] += clip[s0 - start: s1 - start]

  def _talk(self, fg, rng, start=None, stop=None):
    """Utterance after utterance with short pauses, from start (default: before the stream)
    up to stop (default: its end)."""
    pos = -int(rng.integers(0, 2 * SR)) if start is None else start
    stop = self.n if stop is None else stop
    while pos < stop:
      clip = self._negative_speech(rng)
      if rng.random() < 0.5:
        clip = speed(clip, rng)
      self._place(fg, clip[: stop - pos] * db(rng.uniform(-4, 0)), pos)
      pos += len(clip) + int(rng.uniform(0.15, 1.2) * SR)

  def example(self, rng, positive=None):
    """Returns (audio float32 [n], labels int8 [n_frames], is_positive)."""
    n, t = self.n, self.n_frames
    if positive is None:
      positive = rng.random() < self.p_positive
    fg = np.zeros(n, np.float32)
    labels = np.zeros(t, np.int8)
    word_start = n
    if positive:
      word = self._positive(rng)
      if self.p_opus and rng.random() < self.p_opus:
        word = opus_round_trip(word)
      if rng.random() < 0.8:
        word = speed(word, rng)
      if self.run_in:
        # the run-in already holds the room: the word may end anywhere in the scored part
        lo = self.run_in + 30
      else:
        lo = max(120, len(word) // fe.HOP_LENGTH + 5)
        if self.p_settled and rng.random() < self.p_settled:
          lo = max(lo, min(SETTLED_FRAME, t - 130))
      end_frame = int(rng.integers(lo, max(lo + 1, t - 130)))
      end = fe.HOP_LENGTH * end_frame + fe.FRAME_LENGTH
      word_start = end - len(word)
      self._place(fg, word * db(rng.uniform(-4, 0)), word_start)
      talk = bool(self.p_talk) and rng.random() < self.p_talk
      if talk:
        # the wake word inside a conversation, so that talk alone does not mean "no"
        self._talk(fg, rng, stop=end - len(word) - int(rng.uniform(0.2, 0.8) * SR))
        self._talk(fg, rng, start=end + int(rng.uniform(0.1, 0.6) * SR))
      elif rng.random() < 0.5:  # the phrase and then what is asked of it ("X, lights on")
        after = self._negative_speech(rng)
        self._place(fg, after * db(rng.uniform(-8, 0)), end + int(rng.uniform(0.05, 0.6) * SR))
      if not talk and self.run_in and rng.random() < 0.4:  # talk in the room before
        self._talk(fg, rng, stop=end - len(word) - int(rng.uniform(0.3, 1.5) * SR))
      elif not talk and rng.random() < 0.3:  # someone talking before
        before = self._negative_speech(rng)
        gap = int(rng.uniform(0.3, 1.5) * SR)
        self._place(fg, before * db(rng.uniform(-8, 0)), end - len(word) - gap - len(before))
      labels[max(0, end_frame - FREE_BEFORE): end_frame + FREE_AFTER] = -1
      labels[end_frame - POS_BEFORE: end_frame + POS_AFTER + 1] = 1
    quiet_room = False
    if positive:
      quiet_room = talk and rng.random() < 0.6
    elif self.p_talk and rng.random() < self.p_talk:
      # Talk without pause: utterance after utterance, as a session hears a conversation,
      # often in a quiet room with no noise to mask it.
      self._talk(fg, rng)
      quiet_room = rng.random() < 0.6
    elif not positive and rng.random() < 0.85:
      # about one to three utterances every 3 s, in a long stream as in a short one
      for _ in range(rng.integers(1, 4) * max(1, round(n / (3 * SR)))):
        clip = self._negative_speech(rng)
        if rng.random() < 0.5:
          clip = speed(clip, rng)
        self._place(fg, clip * db(rng.uniform(-8, 0)), int(rng.integers(-len(clip) // 2, n)))
    if rng.random() < 0.4:
      fg = room(fg, rng)
    if rng.random() < 0.25:
      fg = band_limit(fg, rng, fast=bool(self.run_in))
    active = np.abs(fg) > 1e-4
    speech_rms = rms(fg[active]) if active.sum() > 1600 else 0.0
    x = fg
    # With a run-in every stream has a room, a quiet one (a bed 25 to 45 dB under the
    # speech) or a noisy one; digital silence is the warm-up's, no room's.
    if (rng.random() < 0.85 and not quiet_room) or speech_rms == 0.0 or self.run_in:
      bed = self.noise_bed(n, rng)
      if rng.random() < 0.25:
        bed = band_limit(bed, rng, fast=bool(self.run_in))
      if speech_rms > 0:
        quiet = quiet_room or (self.run_in and rng.random() < 0.15)
        level = speech_rms * db(-rng.uniform(25, 45) if quiet else -rng.uniform(0, 20))
      else:
        level = db(rng.uniform(-60, -15))
      x = fg + bed * level
    gain = db(rng.uniform(-30, 0)) * 0.9 / (np.max(np.abs(x)) + 1e-9)
    x = x * min(gain, db(30))
    if self.run_in:
      # a microphone's own noise under every room: even a quiet room quieter than this is
      # digital silence to the frontend
      x = x + rng.standard_normal(n).astype(np.float32) * db(rng.uniform(-80, -60))
    elif rng.random() < 0.5:  # a quiet sensor floor
      x = x + rng.standard_normal(n).astype(np.float32) * db(rng.uniform(-90, -65))
    if self.run_in and self.p_reset and rng.random() < self.p_reset:
      # a session that has just been reset: digital silence, then the room (or a file)
      # starts, a moment before any word
      stop = min(self.run_in * fe.HOP_LENGTH, word_start - int(rng.uniform(0.05, 0.5) * SR))
      x[: max(0, stop)] = 0.0
    labels[: self.run_in] = -1
    return np.clip(x, -1.0, 1.0).astype(np.float32), labels, positive

  def batch(self, rng, size):
    xs, ls, ps = zip(*(self.example(rng) for _ in range(size)))
    return np.stack(xs), np.stack(ls), np.array(ps)
