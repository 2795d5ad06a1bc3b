"""The replica frontend against float64 formulas written independently of it."""

import numpy as np
import torch

from quelt_train import frontend as fe


def slaney_mel_float64():
  """Slaney filterbank in float64 straight from its definition."""
  def hz_to_mel(f):
    return f / (200 / 3) if f < 1000 else 15 + np.log(f / 1000) / (np.log(6.4) / 27)

  def mel_to_hz(m):
    return m * 200 / 3 if m < 15 else 1000 * np.exp((m - 15) * np.log(6.4) / 27)

  lo, hi = hz_to_mel(80.0), hz_to_mel(7600.0)
  hz = np.array([mel_to_hz(lo + (hi - lo) * i / 65) for i in range(66)])
  freq = np.arange(257) * 16000 / 512
  w = np.zeros((64, 257))
  for m in range(64):
    l, c, r = hz[m], hz[m + 1], hz[m + 2]
    w[m] = 2 / (r - l) * np.maximum(0, np.minimum((freq - l) / (c - l), (r - freq) / (r - c)))
  return w


def test_mel_weights_match_float64_definition_and_band_edges():
  w = fe.mel_weights()
  ref = slaney_mel_float64()
  assert w.shape == (64, 257) and w.dtype == np.float32
  np.testing.assert_allclose(w, ref, rtol=2e-4, atol=1e-7)
  used = np.nonzero(w.any(axis=0))[0]
  assert used[0] == 3 and used[-1] == 243
  assert list(np.nonzero(w[0])[0]) == [3, 4, 5]
  assert np.nonzero(w[63])[0][0] == 222
  assert all((row > 0).sum() >= 2 for row in w)


def test_window_is_periodic_hann():
  w = fe.hann_window()
  assert w[0] == 0.0 and w[200] == 1.0
  np.testing.assert_array_equal(w[1:200], w[399:200:-1])


def test_preemphasis_of_constant_and_first_sample():
  y = fe.preemphasis(np.ones(5, np.float32))
  assert y[0] == 1.0
  assert np.float32(y[1]) == np.float32(0.029999971)


def test_features_against_long_double_dft():
  rng = np.random.default_rng(3)
  x = (rng.standard_normal(400 + 160 * 2) * 0.2).astype(np.float32)
  got = fe.features_numpy(x)
  assert got.shape == (3, 64)
  y = np.concatenate([[x[0]], x[1:].astype(np.longdouble) - np.longdouble(0.97) * x[:-1]])
  t = np.arange(512, dtype=np.longdouble)
  k = np.arange(257, dtype=np.longdouble)[:, None]
  ang = -2 * np.pi * k * t / 512
  for j in range(3):
    frame = np.zeros(512, np.longdouble)
    frame[:400] = y[160 * j: 160 * j + 400] * fe.hann_window().astype(np.longdouble)
    mag = np.hypot((np.cos(ang) * frame).sum(1), (np.sin(ang) * frame).sum(1))
    ref = np.log(np.maximum(slaney_mel_float64() @ mag.astype(np.float64), 1e-6))
    np.testing.assert_allclose(got[j], ref, atol=2e-4)


def test_silence_and_framing_edges():
  assert fe.n_frames(399) == 0 and fe.n_frames(400) == 1 and fe.n_frames(559) == 1
  assert fe.n_frames(560) == 2
  feats = fe.features_numpy(np.zeros(800, np.float32))
  assert np.all(feats == np.float32(-13.815510749816895))
  assert fe.features_numpy(np.zeros(300, np.float32)).shape == (0, 64)


def test_torch_frontend_matches_reference_in_both_modes():
  rng = np.random.default_rng(1)
  x = (rng.standard_normal((2, 16000)) * np.array([[0.3], [1e-4]])).astype(np.float32)
  ref = np.stack([fe.features_numpy(r) for r in x])
  exact = fe.TorchFrontend(exact=True)(torch.from_numpy(x)).numpy()
  fast = fe.TorchFrontend()(torch.from_numpy(x)).numpy()
  np.testing.assert_allclose(exact, ref, atol=2e-6)
  np.testing.assert_allclose(fast, ref, atol=2e-4)
