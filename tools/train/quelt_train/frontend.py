"""File: frontend.py -- the engine's log-mel frontend, replicated in numpy and PyTorch.

Training must see the features the engine computes: pre-emphasis 0.97 over the whole stream
(the first sample keeps its value), 400-sample frames every 160 samples with no padding, a
periodic Hann window, a 512-point FFT magnitude, 64 Slaney mel bands from 80 to 7600 Hz with
area normalisation, and ln(max(x, 1e-6)). The mel matrix is built in single precision with
the engine's constants, so the bands match it bit for bit; the FFT here is float64 (exact
mode) or float32 (training mode, faster, differences far below the noise).
"""

import math

import numpy as np
import torch

SAMPLE_RATE = 16000
FRAME_LENGTH = 400
HOP_LENGTH = 160
N_FFT = 512
N_MELS = 64
PREEMPH = np.float32(0.97)
LOG_FLOOR = np.float32(1e-6)
SILENCE_FEATURE = float(np.log(np.float32(1e-6)))  # -13.815510749816895 in float32

_F_SP = np.float32(200.0 / 3.0)
_MIN_LOG_HZ = np.float32(1000.0)
_MIN_LOG_MEL = np.float32(_MIN_LOG_HZ / _F_SP)
_LOGSTEP = np.float32(np.log(np.float32(6.4)) / np.float32(27.0))
_MEL_LO = np.float32(1.2)
_MEL_SPAN = np.float32(43.299576)


def _bits(x):
  return int(np.float32(x).view(np.uint32))


assert _bits(_MIN_LOG_MEL) == 0x41700001 and _bits(_LOGSTEP) == 0x3D8CCDBB
assert _bits(_MEL_LO) == 0x3F99999A and _bits(_MEL_SPAN) == 0x422D32C4


def n_frames(n_samples):
  return 0 if n_samples < FRAME_LENGTH else 1 + (n_samples - FRAME_LENGTH) // HOP_LENGTH


def hann_window():
  """Periodic Hann: w[i] = 0.5 - 0.5 cos(2 pi i / 400), in double, rounded once."""
  i = np.arange(FRAME_LENGTH, dtype=np.float64)
  return (0.5 - 0.5 * np.cos((i * 6.283185307179586) / 400.0)).astype(np.float32)


def _mel_to_hz(m):
  m = np.float32(m)
  if m < _MIN_LOG_MEL:
    return np.float32(m * _F_SP)
  return np.float32(_MIN_LOG_HZ * np.exp(np.float32((m + (-_MIN_LOG_MEL)) * _LOGSTEP)))


def mel_weights():
  """The 64 x 257 float32 filterbank, one band per row, in the engine's order of rounding."""
  f32 = np.float32
  points = [f32(f32(f32(i) * _MEL_SPAN) / f32(65.0)) + _MEL_LO for i in range(N_MELS + 2)]
  hz = [_mel_to_hz(p) for p in points]
  freq = (np.arange(N_FFT // 2 + 1, dtype=np.float32) * f32(16000.0)) * f32(1.0 / 512.0)
  w = np.zeros((N_MELS, N_FFT // 2 + 1), dtype=np.float32)
  with np.errstate(divide="ignore", invalid="ignore"):
    for m in range(N_MELS):
      left, centre, right = hz[m], hz[m + 1], hz[m + 2]
      enorm = f32(f32(2.0) / f32(right - left))
      lower = (freq - left) / f32(centre - left)
      upper = (right - freq) / f32(right - centre)
      w[m] = enorm * np.maximum(f32(0.0), np.minimum(lower, upper))
  return w


def preemphasis(x):
  """y[n] = x[n] - 0.97 x[n-1] in float32, x[-1] = 0; works on the last axis."""
  x = np.asarray(x, dtype=np.float32)
  prev = np.concatenate([np.zeros(x.shape[:-1] + (1,), np.float32), x[..., :-1]], axis=-1)
  return x - PREEMPH * prev


def features_numpy(x):
  """Reference features of one stream in float64 FFT arithmetic: (frames, 64) float32."""
  y = preemphasis(x)
  t = n_frames(len(y))
  if t == 0:
    return np.zeros((0, N_MELS), np.float32)
  idx = np.arange(FRAME_LENGTH)[None, :] + HOP_LENGTH * np.arange(t)[:, None]
  frames = (y[idx] * hann_window()[None, :]).astype(np.float64)
  spec = np.abs(np.fft.rfft(frames, n=N_FFT, axis=-1)).astype(np.float32)
  mel = spec @ mel_weights().T
  return np.log(np.maximum(mel, LOG_FLOOR)).astype(np.float32)


class TorchFrontend(torch.nn.Module):
  """Batched features: (batch, samples) -> (batch, frames, 64)."""

  def __init__(self, exact=False):
    super().__init__()
    self.exact = exact
    self.register_buffer("window", torch.from_numpy(hann_window()))
    self.register_buffer("mel_t", torch.from_numpy(mel_weights().T.copy()))

  def forward(self, x, warp=None):
    """warp (batch,): vocal-tract length factors for training (None: the engine's features)."""
    x = x.float()
    prev = torch.nn.functional.pad(x[:, :-1], (1, 0))
    y = x - float(PREEMPH) * prev
    frames = y.unfold(-1, FRAME_LENGTH, HOP_LENGTH) * self.window
    if self.exact:
      frames = frames.double()
    spec = torch.fft.rfft(frames, n=N_FFT, dim=-1).abs().float()
    mel = spec @ self.mel_t if warp is None else torch.bmm(spec, self.warped_mel(warp))
    return torch.log(torch.clamp_min(mel, float(LOG_FLOOR)))

  def warped_mel(self, alpha, knee=0.8):
    """Mel matrices (batch, 257, 64) that take the spectrum's frequency axis warped by alpha:
    the energy of bin k lands at alpha k below a knee and the top of the band stays where it
    is (piecewise linear, as in vocal-tract length perturbation), so a factor above 1 sounds
    like a shorter vocal tract. The filters are read at the warped positions by linear
    interpolation between bins."""
    alpha = torch.as_tensor(alpha, dtype=torch.float32).reshape(-1, 1)
    nyq = float(N_FFT // 2)
    k = torch.arange(N_FFT // 2 + 1, dtype=torch.float32)[None, :]
    low = knee * nyq * torch.clamp(alpha, max=1.0)
    bound = low / alpha
    pos = torch.where(k <= bound, alpha * k, nyq - (nyq - low) / (nyq - bound) * (nyq - k))
    pos = pos.clamp(0.0, nyq)
    lo = pos.floor().long().clamp(max=N_FFT // 2 - 1)
    frac = (pos - lo)[..., None]
    return self.mel_t[lo] * (1 - frac) + self.mel_t[lo + 1] * frac


assert math.isclose(SILENCE_FEATURE, -13.815510749816895, rel_tol=0, abs_tol=1e-12)
