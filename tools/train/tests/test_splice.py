"""Joining one speaker's phones into words: which runs, where the cuts fall, what is heard."""

import os
import shutil
import subprocess

import numpy as np
import pytest
import soundfile as sf

from quelt_train import phones, splice, synth

SR = 16000
TONE = {"K": 500.0, "AH": 900.0, "M": 1300.0, "X": 2100.0, "Y": 2900.0, "Z": 3700.0}


def utterance(seq, frames=10):
  """One 'phone' per pure tone, each `frames` 10 ms frames long, as the aligner reports it."""
  x = np.concatenate([np.sin(2 * np.pi * TONE[p] * np.arange(frames * 160) / SR) for p in seq])
  starts = [k * frames for k in range(len(seq))]
  return x, {"phones": list(seq), "start": starts, "end": [s + frames - 1 for s in starts]}


def speaker(*seqs):
  audio, index, segs, pos = [], [], [], 0
  for i, seq in enumerate(seqs):
    x, seg = utterance(seq)
    audio.append(x)
    index.append({"start": pos, "length": len(x)})
    seg["i"] = i
    segs.append(seg)
    pos += len(x)
  return splice.Speaker(segs, np.concatenate(audio), index)


def dominant(x):
  spec = np.abs(np.fft.rfft(x * np.hanning(len(x))))
  return np.argmax(spec) * SR / len(x)


def test_chains_prefer_cuts_inside_a_shared_phone_and_need_every_piece():
  spk = speaker("K AH X".split(), "Z AH M".split(), "K Y".split(), "Y M".split())
  target = "K AH M".split()
  options = splice.chains(target, spk.runs)
  # K AH + AH M, cut inside AH, is cheaper than K + AH M or K AH + M at a boundary
  assert options[0][1] == [(0, 1), (1, 2)]
  assert options[0][0] == pytest.approx(2 * splice.PIECE_COST + splice.inner_cut_cost("AH"))
  assert all(c >= options[0][0] for c, _ in options)
  assert splice.chains("K AH M P".split(), spk.runs) == []  # nobody said P
  # a pause of more than 20 ms ends a run: K and AH are not one run here
  x, seg = utterance("K AH".split())
  seg["start"][1] += 3
  seg["i"] = 0
  assert ("K", "AH") not in splice.runs_of([seg])


def test_render_joins_the_right_phones_and_cuts_inside_the_shared_one():
  spk = speaker("K AH X".split(), "Z AH M".split())
  target = "K AH M".split()
  out = spk.render(target, [(0, 1), (1, 2)], np.random.default_rng(0)).astype(np.float64)
  body = out[2 * splice.HOP: -2 * splice.HOP]
  # K (100 ms), half of AH from each utterance, M (100 ms): 300 ms less the 10 ms cross-fade
  assert len(body) == 300 * 16 - splice.HOP
  assert np.all(out[: 2 * splice.HOP] == 0) and np.all(out[-2 * splice.HOP:] == 0)
  for t0, phone in ((0.02, "K"), (0.12, "AH"), (0.22, "M")):
    s = int(t0 * SR)
    assert dominant(body[s: s + 960]) == pytest.approx(TONE[phone], abs=20)
  for other in ("X", "Z"):  # neither neighbour of the runs leaks in
    spec = np.abs(np.fft.rfft(body))
    f = np.fft.rfftfreq(len(body), 1 / SR)
    near = np.abs(f - TONE[other]) < 30
    assert spec[near].max() < 0.02 * spec.max()
  assert np.max(np.abs(out)) == pytest.approx(0.7 * 32767, abs=1)


def test_a_stop_is_cut_in_its_closure():
  seg = {"phones": ["K", "AH"], "start": [0, 10], "end": [9, 19]}
  assert splice.cut_sample(seg, 0) == 3 * splice.HOP     # 30 % in: before the burst
  assert splice.cut_sample(seg, 1) == 15 * splice.HOP    # a vowel at its middle


def test_every_speaker_says_the_word_and_look_alikes_in_its_own_split():
  audio, index, aligned, pos = [], [], [], 0
  for n, (spk, split) in enumerate([("a", "train"), ("b", "test")]):
    for seq in ("K AH M P AH N IY".split(), "Y UW T ER".split(), "P Y UW".split(),
                "T ER K AH M".split()):
      x, seg = utterance(["K"] * len(seq))  # the tones do not matter here
      seg["phones"] = seq
      audio.append(x)
      index.append({"start": pos, "length": len(x), "speaker": spk, "split": split,
                    "source": "speechocean762", "text": "come any"})
      seg["i"] = len(index) - 1
      aligned.append(seg)
      pos += len(x)
  words = {"come": "K AH M".split(), "any": "EH N IY".split()}
  pcm, entries = splice.splice_all(np.concatenate(audio), index, aligned, words,
                                   log=lambda m: None)
  words_made = [e for e in entries if e["kind"] == "word"]
  assert {(e["speaker"], e["split"]) for e in words_made} == {("a", "train"), ("b", "test")}
  assert len(words_made) == 2 * splice.WORDS_PER_SPEAKER["speechocean762"]
  assert all(e["target"] == splice.WAKE_WORD for e in words_made)
  assert all(e["kind"] == "conf" and e["target"] != splice.WAKE_WORD
             for e in entries if e not in words_made)
  assert sum(e["length"] for e in entries) == len(pcm)


def test_forced_alignment_finds_the_phones_of_a_transcript(tmp_path):
  pytest.importorskip("pocketsphinx")
  if not os.path.isdir(phones.MODEL_DIR) or not shutil.which("espeak-ng"):
    pytest.skip("needs pocketsphinx-en-us and espeak-ng")
  wav = tmp_path / "a.wav"
  subprocess.run(["espeak-ng", "-v", "en-us", "-w", str(wav), "we call it bear"], check=True)
  x, rate = sf.read(wav, dtype="float64")
  x = np.round(synth.to_16k(x, rate) * 32767).astype(np.int16)
  np.save(tmp_path / "audio.npy", x)
  index = [{"source": "speechocean762", "text": "WE CALL IT BEAR", "start": 0,
            "length": len(x)},
           {"source": "speechocean762", "text": "QWXZ", "start": 0, "length": len(x)}]
  aligned = phones.align(str(tmp_path / "audio.npy"), index, workers=1)
  assert [a["i"] for a in aligned] == [0]  # the unknown word leaves its utterance out
  a = aligned[0]
  assert a["phones"] == "W IY K AO L IH T B EH R".split()
  assert all(s <= e for s, e in zip(a["start"], a["end"]))
  assert all(e < s for e, s in zip(a["end"], a["start"][1:]))
  assert a["end"][-1] <= len(x) // 160
