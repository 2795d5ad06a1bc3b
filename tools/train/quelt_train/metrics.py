"""File: metrics.py -- false rejects and false accepts per hour from per-frame scores.

Scores are computed once per stream; a threshold sweep then replays the engine's gate
(threshold, 100-frame cooldown) over them, which is exactly what the engine would report at
that threshold.
"""

import numpy as np

HOP_SECONDS = 0.01
ACCEPT_AFTER = 100   # a detection up to 1 s after the word's end still answers it
REPEAT_FRAMES = 200  # a second detection within 2 s of the first is a false accept


def detections(scores, threshold=0.9, cooldown=100):
  """The engine's gate over a score sequence: frame indices that detect. After a detection
  the next `cooldown` frames are not tested; a NaN score never detects. Only the frames at
  or above the threshold are visited, so hours of frames cost little."""
  above = np.flatnonzero(np.asarray(scores) >= threshold)
  out, k = [], 0
  while k < len(above):
    out.append(int(above[k]))
    k = int(np.searchsorted(above, above[k] + cooldown + 1))
  return out


def utterance_outcome(scores, start, end, threshold, cooldown=100):
  """(accepted, extra detections) for one stream holding one wake word."""
  det = detections(scores, threshold, cooldown)
  inside = [d for d in det if start - 10 <= d <= end + ACCEPT_AFTER]
  outside = len(det) - len(inside)
  extra = max(0, len(inside) - 1) + outside
  return bool(inside), extra


def sweep(pos_scores, pos_spans, neg_scores, thresholds, cooldown=100):
  """Per threshold: false-reject rate, false accepts per hour, utterances with one detection."""
  hours = sum(len(s) for s in neg_scores) * HOP_SECONDS / 3600
  rows = []
  for th in thresholds:
    fa = sum(len(detections(s, th, cooldown)) for s in neg_scores)
    acc = extra = exactly_one = 0
    for s, (a, b) in zip(pos_scores, pos_spans):
      ok, ex = utterance_outcome(s, a, b, th, cooldown)
      acc += ok
      extra += ex
      exactly_one += ok and ex == 0
    n = max(1, len(pos_scores))
    rows.append({"threshold": float(th), "frr": 1 - acc / n, "fa_per_hour": fa / hours,
                 "fa_count": fa, "extra_in_positives": extra, "exactly_one": exactly_one / n})
  return rows, hours


def frr_at_fa(rows, fa_target):
  """Lowest false-reject rate among thresholds whose false accepts per hour <= target."""
  ok = [r for r in rows if r["fa_per_hour"] <= fa_target]
  return min(ok, key=lambda r: (r["frr"], -r["threshold"])) if ok else None


def threshold_grid():
  logits = np.concatenate([np.linspace(-2, 6, 81), np.linspace(6.2, 16, 50)])
  th = 1 / (1 + np.exp(-logits))
  return np.unique(np.concatenate([th.astype(np.float32), np.float32([0.9])]))
