"""The fine-tuning step's fast gate and its frequency masks."""

import numpy as np
import torch

from finetune import gate, mask_bands, rate_at
from quelt_train import metrics


def test_gate_on_logits_matches_the_engine_gate_on_scores():
  rng = np.random.default_rng(3)
  th = float(np.log(9.0))
  for _ in range(20):
    z = rng.normal(0.0, 2.0, 3000)
    z[rng.integers(0, 3000, 8)] = 6.0          # bursts that the cooldown must swallow
    expected = metrics.detections(1 / (1 + np.exp(-z)), 0.9)
    assert gate(z, th) == expected
  # a detection at the very last frame of a cooldown's reach: frame i + 101 may fire again
  z = np.full(400, -5.0)
  z[[10, 110, 111, 250]] = 5.0
  assert gate(z, th) == [10, 111, 250]


def test_mask_bands_masks_whole_bands_of_some_examples_only():
  rng = np.random.default_rng(0)
  feats = torch.randn(64, 50, 64)
  original = feats.clone()
  out = mask_bands(feats, rng)
  changed = (out != feats)
  assert 0 < int(changed.flatten(1).any(dim=1).sum()) < 64      # some examples, not all
  for b in range(64):
    bands = changed[b].any(dim=0)
    if bands.any():
      # a masked band is masked in every frame, with the example's mean
      assert bool(changed[b][:, bands].all())
      assert torch.allclose(out[b][:, bands], feats[b].mean())
      assert int(bands.sum()) <= 16
  assert torch.equal(feats, original)                       # the input is left alone


def test_rate_at_keeps_false_accepts_within_the_target():
  # one hour of negatives with one stray peak, two wake words of different strength
  neg = [np.full(360000, -6.0)]
  neg[0][1000] = 3.0
  labels = np.zeros(300, np.int8)
  labels[150:195] = 1
  strong, weak = np.full(300, -6.0), np.full(300, -6.0)
  strong[160] = 5.0
  weak[160] = 2.0
  rate, delta, fa = rate_at([strong, weak], [labels, labels], neg, fa_target=0.5)
  # the stray peak (3.0) must stay under the threshold, so only the strong word passes
  assert rate == 0.5 and fa == 0.0
  assert 2.0 + delta < np.log(9.0) <= 5.0 + delta
