"""File: averaging.py -- an exponential moving average of the network's weights during
training.

Runs of the same recipe that differ only in their seed end far apart on held-out people, and
the last steps' weights carry the noise of their last batches. The average of the weights
over the last few hundred steps is a candidate of its own: it costs one pass over the
parameters per step, and the choice on validation people decides whether it is kept.
"""

import torch


class WeightAverage:
  """avg <- decay * avg + (1 - decay) * weights after every step; starts at the weights it
  is given, so the first steps do not pull it towards zero."""

  def __init__(self, net, decay):
    if not 0.0 < decay < 1.0:
      raise ValueError(f"the average's decay must be between 0 and 1, not {decay}")
    self.decay = decay
    self.avg = {k: v.detach().clone() for k, v in net.state_dict().items()}

  @torch.no_grad()
  def update(self, net):
    for k, v in net.state_dict().items():
      if v.is_floating_point():
        self.avg[k].mul_(self.decay).add_(v, alpha=1.0 - self.decay)
      else:
        self.avg[k].copy_(v)

  def state_dict(self):
    """The averaged network, loadable by the network's load_state_dict."""
    return {k: v.clone() for k, v in self.avg.items()}

  def load_state_dict(self, state):
    """Resumes the average saved by a checkpoint."""
    for k, v in state.items():
      self.avg[k].copy_(v)
