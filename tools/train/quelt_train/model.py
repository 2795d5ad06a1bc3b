"""File: model.py -- the engine's network in PyTorch, run over whole sequences.

Module and parameter names are the artefact's tensor names (stem_conv.weight,
blocks.3.ln1.ln.bias, head.weight, ...), so exporting is a plain walk over the state dict.
The whole-sequence pass computes what the engine computes frame by frame: causal dilated
depthwise convolutions whose history before the first real frame is the engine's state after
its warm-up on 200 frames of silence, and a 200-frame mean pool whose empty slots hold the
last warm-up embedding. Tensors flow as (batch, time, channels).
"""

import torch
from torch import nn
from torch.nn import functional as F

from .frontend import SILENCE_FEATURE

N_FEATURES = 64
CHANNELS = 64
N_BLOCKS = 8
KERNEL_SIZE = 13
BLOCK_DILATIONS = (1, 2, 4, 4, 4, 2, 2, 1)
BOTTLENECK_CHANNELS = 16
WINDOW_SIZE = 200
LN_EPS = 1e-5


class ChannelNorm(nn.Module):
  """Layer norm over the channels of each frame; the parameters live under `.ln`."""

  def __init__(self, n):
    super().__init__()
    self.ln = nn.LayerNorm(n, eps=LN_EPS)

  def forward(self, x):
    return self.ln(x)


def pointwise(conv, x):
  """A 1x1 Conv1d applied to (batch, time, in) without transposing."""
  return F.linear(x, conv.weight.squeeze(-1), conv.bias)


class DepthwiseConv(nn.Module):
  def __init__(self, dilation):
    super().__init__()
    self.dilation = dilation
    self.conv = nn.Conv1d(CHANNELS, CHANNELS, KERNEL_SIZE, dilation=dilation, groups=CHANNELS)

  def context(self):
    return (KERNEL_SIZE - 1) * self.dilation

  def forward(self, x, history):
    """x: (B, T, C); history: (B or 1, ctx, C) inputs before the first frame (zeros cold)."""
    if history.shape[0] != x.shape[0]:
      history = history.expand(x.shape[0], -1, -1)
    seq = torch.cat([history, x], dim=1).transpose(1, 2)
    return self.conv(seq).transpose(1, 2)


class ResidualBlock(nn.Module):
  def __init__(self, dilation):
    super().__init__()
    self.dw_conv = DepthwiseConv(dilation)
    self.ln1 = ChannelNorm(CHANNELS)
    self.pw_conv = nn.Conv1d(CHANNELS, CHANNELS, 1)
    self.ln2 = ChannelNorm(CHANNELS)

  def forward(self, x, history):
    h = F.relu(self.ln1(self.dw_conv(x, history)))
    h = self.ln2(pointwise(self.pw_conv, h))
    return F.relu(h + x)


class WakeWordNet(nn.Module):
  def __init__(self):
    super().__init__()
    self.stem_conv = nn.Conv1d(N_FEATURES, CHANNELS, 1)
    self.stem_ln = ChannelNorm(CHANNELS)
    self.blocks = nn.ModuleList(ResidualBlock(d) for d in BLOCK_DILATIONS)
    self.bottleneck_conv = nn.Conv1d(CHANNELS, BOTTLENECK_CHANNELS, 1)
    self.bottleneck_ln = ChannelNorm(BOTTLENECK_CHANNELS)
    self.head = nn.Linear(BOTTLENECK_CHANNELS, 1)

  def embed(self, feats, histories=None, keep_inputs=False, pre_activation=False):
    """Frame embeddings (B, T, 16). histories: per-block inputs before frame 0 (None: zeros).

    With keep_inputs the per-block input sequences are returned too (for the warm-up); with
    pre_activation the embedding before its last ReLU (the embedding is its positive part).
    """
    x = F.relu(self.stem_ln(pointwise(self.stem_conv, feats)))
    inputs = []
    for i, block in enumerate(self.blocks):
      if histories is None:
        hist = x.new_zeros(1, block.dw_conv.context(), CHANNELS)
      else:
        hist = histories[i]
      if keep_inputs:
        inputs.append(torch.cat([hist.expand(x.shape[0], -1, -1), x], dim=1))
      x = block(x, hist)
    pre = self.bottleneck_ln(pointwise(self.bottleneck_conv, x))
    e = pre if pre_activation else F.relu(pre)
    return (e, inputs) if keep_inputs else e

  def warm_state(self, window_size=WINDOW_SIZE, pre_activation=False):
    """The engine's state after warm-up: per-block histories and the silence embedding
    (before its last ReLU with pre_activation)."""
    silence = torch.full((1, window_size, N_FEATURES), SILENCE_FEATURE,
                         dtype=self.head.weight.dtype, device=self.head.weight.device)
    e, inputs = self.embed(silence, None, keep_inputs=True, pre_activation=pre_activation)
    histories = [seq[:, seq.shape[1] - blk.dw_conv.context():, :]
                 for seq, blk in zip(inputs, self.blocks)]
    return histories, e[:, -1, :]

  def state_after(self, feats, histories=None):
    """Per-block histories after feats (from `histories`, default the warm-up state) and the
    embeddings of those frames: the state a session reaches after hearing them. A stream's
    run-in goes through this without gradient; the frames after it continue from here."""
    if histories is None:
      histories, _ = self.warm_state()
    e, inputs = self.embed(feats, histories, keep_inputs=True)
    return [seq[:, seq.shape[1] - blk.dw_conv.context():, :]
            for seq, blk in zip(inputs, self.blocks)], e

  def frame_logits(self, e):
    return F.linear(e, self.head.weight, self.head.bias).squeeze(-1)

  def forward(self, feats, window_size=WINDOW_SIZE, with_frames=False):
    """Pooled logits (B, T) of a session that warmed up and then saw these features.

    The head is linear, so the logit of the pooled mean equals the mean of the per-frame
    logits over the pool; the pool starts full of the warm-up embedding. with_frames also
    returns the per-frame logits (the head applied to each embedding alone).
    """
    histories, e_warm = self.warm_state(window_size)
    e = self.embed(feats, histories)
    frame = self.frame_logits(e)
    warm = self.frame_logits(e_warm)  # (1,)
    pooled = pool_mean(frame, warm, window_size)
    return (pooled, frame) if with_frames else pooled


def pool_mean(frame, warm, window_size=WINDOW_SIZE):
  """Mean over the last window_size values of [warm] * window_size + frame, per frame."""
  b, t = frame.shape
  padded = torch.cat([warm.reshape(1, 1).expand(b, window_size), frame], dim=1)
  c = torch.cumsum(F.pad(padded, (1, 0)), dim=1)
  ends = torch.arange(window_size + 1, window_size + t + 1, device=frame.device)
  return (c[:, ends] - c[:, ends - window_size]) / window_size


def pool_after(frame, prior):
  """Mean over the last prior.shape[1] values of prior + frame, per frame of frame: the
  pooled logit of frames that follow a run-in whose last per-frame logits are prior (B, W)."""
  window_size = prior.shape[1]
  padded = torch.cat([prior.expand(frame.shape[0], -1), frame], dim=1)
  c = torch.cumsum(F.pad(padded, (1, 0)), dim=1)
  ends = torch.arange(window_size + 1, window_size + frame.shape[1] + 1, device=frame.device)
  return (c[:, ends] - c[:, ends - window_size]) / window_size


def tensor_table(model):
  """name -> float32 numpy array for every artefact tensor, in the engine's request order."""
  sd = {k: v.detach().cpu().float().numpy() for k, v in model.state_dict().items()}
  names = ["stem_conv.weight", "stem_conv.bias", "stem_ln.ln.weight", "stem_ln.ln.bias"]
  for i in range(N_BLOCKS):
    names += [f"blocks.{i}.{s}" for s in ("dw_conv.conv.weight", "dw_conv.conv.bias",
                                          "ln1.ln.weight", "ln1.ln.bias", "pw_conv.weight",
                                          "pw_conv.bias", "ln2.ln.weight", "ln2.ln.bias")]
  names += ["bottleneck_conv.weight", "bottleneck_conv.bias", "bottleneck_ln.ln.weight",
            "bottleneck_ln.ln.bias", "head.weight", "head.bias"]
  assert set(names) == set(sd), set(names) ^ set(sd)
  return {n: sd[n] for n in names}
