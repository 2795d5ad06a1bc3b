"""File: streaming.py -- a frame-by-frame float32 replica of the engine's session in numpy.

It keeps the engine's per-block history rows, its rolling pool with a running sum, its
warm-up on silence and its threshold/cooldown gate, one frame at a time. It serves as an
independent check of the whole-sequence PyTorch pass, and scores audio when no build of the
engine is at hand. Its arithmetic is float32 but not in the engine's exact operation order.
"""

import numpy as np

from . import frontend as fe
from .model import BLOCK_DILATIONS, KERNEL_SIZE, N_BLOCKS

F32 = np.float32


def _ln(x, scale, shift):
  mean = x.mean(dtype=F32)
  d = x - mean
  var = (d * d).mean(dtype=F32)
  return (d / np.sqrt(var + F32(1e-5))) * scale + shift


class StreamingSession:
  def __init__(self, tensors, window_size=200, cooldown=100, threshold=0.9, warm_start=True):
    self.t = {k: np.asarray(v, F32) for k, v in tensors.items()}
    self.window_size, self.cooldown, self.threshold = window_size, cooldown, F32(threshold)
    self.warm_start = warm_start
    self.frontend_window = fe.hann_window()
    self.mel = fe.mel_weights()
    self.reset()

  def reset(self):
    self.hist = [np.zeros((64, (KERNEL_SIZE - 1) * d + 1), F32) for d in BLOCK_DILATIONS]
    self.ring = np.zeros((self.window_size, 16), F32)
    self.sum = np.zeros(16, F32)
    self.write_pos = self.count = 0
    self.cooldown_remaining = self.frame_counter = 0
    self.carry = F32(0.0)
    self.fifo = np.zeros(0, F32)
    if self.warm_start:
      self.warm_up()

  def network_step(self, feats):
    t = self.t
    x = np.maximum(_ln(t["stem_conv.weight"][:, :, 0] @ feats + t["stem_conv.bias"],
                       t["stem_ln.ln.weight"], t["stem_ln.ln.bias"]), 0)
    for b in range(N_BLOCKS):
      p, d = f"blocks.{b}.", BLOCK_DILATIONS[b]
      h = self.hist[b]
      h[:, :-1] = h[:, 1:]
      h[:, -1] = x
      taps = h[:, :: d]  # 13 values per channel, oldest first: tap k meets h[k * d]
      y = (taps * t[p + "dw_conv.conv.weight"][:, 0, :]).sum(axis=1) + t[p + "dw_conv.conv.bias"]
      y = np.maximum(_ln(y, t[p + "ln1.ln.weight"], t[p + "ln1.ln.bias"]), 0)
      y = t[p + "pw_conv.weight"][:, :, 0] @ y + t[p + "pw_conv.bias"]
      y = _ln(y, t[p + "ln2.ln.weight"], t[p + "ln2.ln.bias"])
      x = np.maximum(y + x, 0)
    e = t["bottleneck_conv.weight"][:, :, 0] @ x + t["bottleneck_conv.bias"]
    return np.maximum(_ln(e, t["bottleneck_ln.ln.weight"], t["bottleneck_ln.ln.bias"]), 0)

  def logit(self):
    mean = self.sum / F32(self.count)
    return F32(self.t["head.bias"][0] + self.t["head.weight"][0] @ mean)

  def pool_push(self, e):
    if self.count == self.window_size:
      self.sum -= self.ring[self.write_pos]
    else:
      self.count += 1
    self.ring[self.write_pos] = e
    self.sum += e
    self.write_pos = (self.write_pos + 1) % self.window_size
    return self.logit()

  def warm_up(self):
    silence = np.full(64, F32(fe.SILENCE_FEATURE), F32)
    for _ in range(self.window_size):
      e = self.network_step(silence)
    self.ring[:] = e
    self.sum = e * F32(self.window_size)
    self.write_pos, self.count = 0, self.window_size

  def push(self, samples):
    """Feeds float samples; returns (detections [(frame, score)], per-frame scores)."""
    x = np.asarray(samples, F32)
    if len(x) == 0:
      return [], []
    prev = np.concatenate([[self.carry], x[:-1]]).astype(F32)
    self.fifo = np.concatenate([self.fifo, x - fe.PREEMPH * prev])
    self.carry = x[-1]
    dets, scores = [], []
    while len(self.fifo) >= fe.FRAME_LENGTH:
      frame = (self.fifo[: fe.FRAME_LENGTH] * self.frontend_window).astype(np.float64)
      spec = np.abs(np.fft.rfft(frame, n=fe.N_FFT)).astype(F32)
      feats = np.log(np.maximum(self.mel @ spec, fe.LOG_FLOOR)).astype(F32)
      logit = self.pool_push(self.network_step(feats))
      score = F32(1.0) / (np.exp(-logit, dtype=F32) + F32(1.0))
      scores.append(float(score))
      if self.cooldown_remaining > 0:
        self.cooldown_remaining -= 1
      elif score >= self.threshold:
        dets.append((self.frame_counter, float(score)))
        self.cooldown_remaining = self.cooldown
      self.frame_counter += 1
      self.fifo = self.fifo[fe.HOP_LENGTH:]
    return dets, scores


def detections(scores, threshold=0.9, cooldown=100):
  """The engine's gate over a score sequence: frame indices that detect."""
  out, remaining = [], 0
  for i, s in enumerate(scores):
    if remaining > 0:
      remaining -= 1
    elif s >= threshold:
      out.append(i)
      remaining = cooldown
  return out
