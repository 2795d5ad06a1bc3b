"""The PyTorch network's tensor table and its pool. Its whole-sequence pass is checked
against the engine's own frame scores in test_export.py."""

import numpy as np
import torch

from quelt_train import model as M

SPEC_SHAPES = {
    "stem_conv.weight": (64, 64, 1), "stem_conv.bias": (64,), "stem_ln.ln.weight": (64,),
    "stem_ln.ln.bias": (64,), "bottleneck_conv.weight": (16, 64, 1),
    "bottleneck_conv.bias": (16,), "bottleneck_ln.ln.weight": (16,),
    "bottleneck_ln.ln.bias": (16,), "head.weight": (1, 16), "head.bias": (1,),
}
BLOCK_SHAPES = {"dw_conv.conv.weight": (64, 1, 13), "dw_conv.conv.bias": (64,),
                "ln1.ln.weight": (64,), "ln1.ln.bias": (64,), "pw_conv.weight": (64, 64, 1),
                "pw_conv.bias": (64,), "ln2.ln.weight": (64,), "ln2.ln.bias": (64,)}


def random_net(seed):
  torch.manual_seed(seed)
  net = M.WakeWordNet()
  with torch.no_grad():
    for name, p in net.named_parameters():
      if name.endswith("ln.weight"):
        p.copy_(1 + 0.3 * torch.randn_like(p))
      elif name.endswith("ln.bias"):
        p.copy_(0.2 * torch.randn_like(p))
    net.head.weight.mul_(30)
  return net.eval()


def test_tensor_names_and_shapes_are_the_artefact_table():
  table = M.tensor_table(M.WakeWordNet())
  expected = dict(SPEC_SHAPES)
  for i in range(8):
    expected.update({f"blocks.{i}.{k}": v for k, v in BLOCK_SHAPES.items()})
  assert len(table) == 74
  assert {k: v.shape for k, v in table.items()} == expected
  assert list(table)[:5] == ["stem_conv.weight", "stem_conv.bias", "stem_ln.ln.weight",
                             "stem_ln.ln.bias", "blocks.0.dw_conv.conv.weight"]


def test_pool_mean_against_naive_window():
  rng = np.random.default_rng(0)
  frame = rng.standard_normal((2, 230))
  warm = 0.7
  got = M.pool_mean(torch.from_numpy(frame), torch.tensor([warm], dtype=torch.float64), 200).numpy()
  for b in range(2):
    seq = np.concatenate([np.full(200, warm), frame[b]])
    ref = [seq[t + 1: t + 201].mean() for t in range(230)]
    np.testing.assert_allclose(got[b], ref, atol=1e-9)
