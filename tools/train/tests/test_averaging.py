"""The moving average of the weights: the closed form of an exponential average started at the
first weights, unchanged by a resume from a checkpoint, loadable as a network."""

import numpy as np
import pytest
import torch

from quelt_train import averaging, model as M


def test_average_is_the_exponential_mean_and_survives_a_resume():
  torch.manual_seed(0)
  net = M.WakeWordNet()
  decay = 0.9
  first = {k: v.double().clone() for k, v in net.state_dict().items()}
  avg = averaging.WeightAverage(net, decay)
  steps = [{k: torch.randn_like(v) for k, v in first.items()} for _ in range(6)]
  expected = dict(first)
  for i, weights in enumerate(steps):
    net.load_state_dict({k: v.float() for k, v in weights.items()})
    avg.update(net)
    expected = {k: decay * expected[k] + (1 - decay) * weights[k] for k in expected}
    if i == 2:
      # a resumed run starts a fresh average from the checkpoint's
      resumed = averaging.WeightAverage(M.WakeWordNet(), decay)
      resumed.load_state_dict(avg.state_dict())
      avg = resumed
  for k, v in avg.state_dict().items():
    np.testing.assert_allclose(v.double().numpy(), expected[k].numpy(), rtol=1e-5, atol=1e-6)
  M.WakeWordNet().load_state_dict(avg.state_dict())


@pytest.mark.parametrize("decay", [0.0, 1.0, -0.5])
def test_a_decay_outside_the_open_unit_interval_is_refused(decay):
  with pytest.raises(ValueError, match="between 0 and 1"):
    averaging.WeightAverage(M.WakeWordNet(), decay)
