"""File: losses.py -- per-frame objectives on the pooled score.

Negative frames are pushed down, both on average and at each stream's highest negative frame
(false accepts come from peaks); each wake word must raise its best frame in the short window
after it ends. Frames labelled -1 (the end of the word and the cooldown after it) are free.
"""

import torch
from torch.nn import functional as F

NEG_INF = -1e4


def auxiliary_frame_loss(frame_logits, labels):
  """Per-frame logits (the head on each embedding alone) against the same labels.

  The pooled score dilutes a word over 2 s, so its gradient teaches the word slowly; this
  direct signal gets the embeddings started.
  """
  mask = labels >= 0
  target = (labels == 1).float()
  return F.binary_cross_entropy_with_logits(frame_logits[mask], target[mask])


def frame_loss(logits, labels, peak_weight=1.0):
  """logits (B, T) pooled logits, labels (B, T) in {1, 0, -1}; returns (loss, stats)."""
  neg = labels == 0
  pos = labels == 1
  neg_mean = F.softplus(logits[neg]).mean() if neg.any() else logits.sum() * 0
  neg_peak_logit = torch.where(neg, logits, torch.full_like(logits, NEG_INF)).amax(dim=1)
  has_neg = neg.any(dim=1)
  neg_peak = F.softplus(neg_peak_logit[has_neg]).mean() if has_neg.any() else logits.sum() * 0
  has_pos = pos.any(dim=1)
  if has_pos.any():
    pos_peak_logit = torch.where(pos, logits, torch.full_like(logits, NEG_INF)).amax(dim=1)
    pos_loss = F.softplus(-pos_peak_logit[has_pos]).mean()
  else:
    pos_loss = logits.sum() * 0
  loss = neg_mean + peak_weight * neg_peak + 2.0 * pos_loss
  return loss, {"neg": float(neg_mean), "neg_peak": float(neg_peak), "pos": float(pos_loss)}
