"""File: progress.py -- one progress line format for every stage of the recipe.

Each line names the stage, the step out of the total, the figures of the moment (loss,
validation figures when computed) and the elapsed and estimated remaining time, so that a
long run can be followed in its log, and `grep '^\\[train\\]'` gives one stage's course.
"""

import sys
import time


def clock(seconds):
  """1h02m, 3m05s or 12s."""
  s = int(round(max(0.0, seconds)))
  if s >= 3600:
    return f"{s // 3600}h{s % 3600 // 60:02d}m"
  if s >= 60:
    return f"{s // 60}m{s % 60:02d}s"
  return f"{s}s"


def figure(value):
  if isinstance(value, float):
    return f"{value:.4g}"
  return str(value)


class Progress:
  """Progress of one stage over `total` steps. The remaining time is estimated from the
  steps done since the first update (a resumed run's earlier steps took no time here)."""

  def __init__(self, stage, total, start=0, out=None):
    self.stage, self.total, self.start = stage, max(1, int(total)), int(start)
    self.t0 = time.time()
    self.out = out or sys.stdout

  def line(self, done, **figures):
    elapsed = time.time() - self.t0
    rate = (done - self.start) / elapsed if elapsed > 0 and done > self.start else 0.0
    left = (self.total - done) / rate if rate > 0 else None
    parts = [f"[{self.stage}] step {done}/{self.total}"]
    parts += [f"{k.replace('_', ' ')} {figure(v)}" for k, v in figures.items()]
    parts.append(f"elapsed {clock(elapsed)}")
    parts.append(f"left ~{clock(left)}" if left is not None else "left ?")
    return " ".join(parts)

  def update(self, done, **figures):
    print(self.line(done, **figures), file=self.out, flush=True)

  def skipped(self, why):
    print(f"[{self.stage}] skipped: {why}", file=self.out, flush=True)


def skipped(stage, why, out=None):
  print(f"[{stage}] skipped: {why}", file=out or sys.stdout, flush=True)
