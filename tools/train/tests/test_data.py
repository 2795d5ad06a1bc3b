"""Splits by voice, clip trimming, the evaluation's SNR and the training targets."""

import numpy as np
import torch

from quelt_train import augment, data, evalsets, losses, synth
from quelt_train import frontend as fe


def test_every_voice_and_speaker_lands_in_exactly_one_split():
  entries = [{"synth": "espeak", "voice": f"{a}+{v}", "accent": a, "variant": v}
             for a in synth.ESPEAK_ACCENTS for v in ("base", "f3", "m1", "klatt", "whisper")]
  entries += [{"synth": "flite", "voice": "flite_" + v, "accent": "flite", "variant": v}
              for v in synth.FLITE_VOICES]
  entries += [{"synth": "festival", "voice": "festival_" + v, "accent": "festival", "variant": v}
              for v in synth.FESTIVAL_VOICES]
  seen = {}
  for e in entries * 2:
    seen.setdefault(e["voice"], set()).add(data.synth_split(e))
  assert all(len(s) == 1 for s in seen.values())
  assert seen["flite_rms"] == {"test"} and seen["festival_ked_diphone"] == {"test"}
  assert all(seen[f"en-029+{v}"] == {"test"} for v in ("base", "f3", "m1"))
  # a variant is one timbre: it is held out with every accent or with none
  for v in ("base", "f3", "m1", "klatt", "whisper"):
    splits = {data.synth_split(e) for e in entries
              if e["synth"] == "espeak" and e["variant"] == v and e["accent"] != "en-029"}
    assert len(splits) == 1
  for spk in ("SPEAKER0001", "SPEAKER0420", "1089"):
    for src in ("speechocean762", "mini_librispeech"):
      assert len({data.real_split(src, spk, f"x/{i}.opus") for i in range(5)}) == 1
  assert data.real_split("precise_computer", "el-tocino", "a.wav") == "test"
  assert data.real_split("precise_computer", "krisgesling", "a.wav") == "train"
  assert data.real_split("speech_commands_bg", "", "noise/x/running_tap.opus") == "test"


def test_trim_keeps_the_speech_and_finish_normalises():
  x = np.zeros(16000)
  x[5000:9000] = np.sin(np.arange(4000) * 0.3)
  y = synth.trim(x)
  assert 4000 <= len(y) <= 4000 + 2 * 320 + 320
  assert np.max(np.abs(y)) == np.max(np.abs(x))
  out = synth.finish(y)
  assert out.dtype == np.int16 and abs(int(np.max(np.abs(out))) - round(0.7 * 32767)) <= 1
  assert synth.finish(np.zeros(100)) is None and len(synth.trim(np.zeros(1000))) == 0


def test_a_recording_is_cut_to_its_word_not_to_its_room():
  # a 0.6 s "word" (a tone with a weak 50 ms tail) 0.5 s into a 2 s take whose room noise
  # is 25 dB under it: the cut must end at the word, not at the end of the take
  rng = np.random.default_rng(3)
  x = 0.3 * 10 ** (-25 / 20) * rng.standard_normal(32000) / np.sqrt(2)
  t = np.arange(9600)
  x[8000:17600] += 0.3 * np.sin(t * 0.3) * np.where(t < 8800, 1.0, 0.1)
  y = synth.trim_recording(x)
  start = next(i for i in range(len(x)) if np.array_equal(x[i:i + 16], y[:16]))
  assert abs(start - 8000) <= 800 and abs(start + len(y) - 17600) <= 800
  # a take in digital silence is cut as the synthetic clips are
  clean = np.zeros(16000)
  clean[5000:9000] = np.sin(np.arange(4000) * 0.3)
  assert np.array_equal(synth.trim_recording(clean), synth.trim(clean, rel_db=-30))
  assert len(synth.trim_recording(np.zeros(1000))) == 0


class HeldOutCorpus:
  def __init__(self):
    rng = np.random.default_rng(0)
    clip = lambda s: (np.sin(np.arange(int(s * 16000)) * 0.2) * 0.5).astype(np.float32)
    noise = lambda s: (rng.standard_normal(int(s * 16000)) * 0.1).astype(np.float32)
    self.c = {"word": [clip(0.6)], "lead": [clip(1.0)], "speech": [noise(3.0)],
              "synth_speech": [noise(2.0)], "confusable": [noise(0.5)], "noise": [noise(5.0)]}

  def clips(self, role, split):
    return self.c.get(role, []) if split == "test" else []

  def entries(self, role, split):
    return [(c, {"voice": role}) for c in self.clips(role, split)]


def test_positive_streams_place_the_word_and_mix_at_ten_db():
  streams = evalsets.positive_streams(HeldOutCorpus(), seed=3)
  assert len(streams) == 2
  for x, start, end, _ in streams:
    assert fe.n_frames(len(x)) == 500 and start < end == 260
    word_end = fe.HOP_LENGTH * end + fe.FRAME_LENGTH
    clip_len = word_end - (fe.FRAME_LENGTH + fe.HOP_LENGTH * start)
    assert 0 <= clip_len - 9600 < 2 * fe.HOP_LENGTH or 0 <= clip_len - 16000 < 2 * fe.HOP_LENGTH
  # SNR: with the after-speech switched off by the seed or not, the noise before the word
  # sits 10 dB under the word's RMS (both scaled by the same gain)
  x, start, end, _ = streams[0]
  word = x[fe.HOP_LENGTH * end + fe.FRAME_LENGTH - 9600: fe.HOP_LENGTH * end + fe.FRAME_LENGTH]
  lead = x[: 16000]
  snr = 20 * np.log10(augment.rms(word) / augment.rms(lead))
  assert 9.0 < snr < 11.0, snr


def test_training_targets_and_pooled_loss():
  lab = torch.zeros(2, 300, dtype=torch.long)
  lab[0, 100:180] = -1
  lab[0, 110:156] = 1                       # word ended at frame 115
  after = losses.after_targets(lab)
  ones = torch.nonzero(after[0] == 1)[:, 0]
  assert ones[0] == 115 + losses.AFTER_START and ones[-1] == 115 + losses.AFTER_END - 1
  assert (after[0, 110:156] == -1).all() and (after[1] == 0).all()
  logits = torch.full((2, 300), -5.0)
  logits[0, 130] = 6.0                      # one strong frame inside the window
  loss_ok, st_ok = losses.frame_loss(logits, lab)
  logits[0, 170] = 9.0                      # a free frame: must not count as a false accept
  _, st_free = losses.frame_loss(logits, lab)
  assert st_free["neg_peak"] == st_ok["neg_peak"] and st_ok["pos"] < 0.01
  logits[1, 20] = 4.0                       # a peak in the negative stream
  _, st_peak = losses.frame_loss(logits, lab)
  assert st_peak["neg_peak"] > 10 * st_ok["neg_peak"]
  _, st_margin = losses.frame_loss(logits, lab, pos_margin=8.0)
  assert st_margin["pos"] > 1.0
