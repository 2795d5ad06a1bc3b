"""The whole-sequence PyTorch pass against the frame-by-frame session replica."""

import numpy as np
import pytest
import torch

from quelt_train import model as M
from quelt_train import streaming

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


@pytest.mark.parametrize("warm_start", [True, False])
def test_whole_sequence_scores_equal_streaming_session(warm_start):
  """Covers causal padding, dilation order, warm-up histories and the pool's silence slots."""
  net = random_net(11)
  rng = np.random.default_rng(5)
  n = 400 + 160 * 299
  audio = (rng.standard_normal(n) * np.linspace(0.001, 0.5, n)).astype(np.float32)
  from quelt_train import frontend as fe
  feats = torch.from_numpy(fe.features_numpy(audio))[None]
  with torch.no_grad():
    net.head.bias -= net(feats)[0].mean()  # keep the scores away from 0 and 1
    if warm_start:
      logits = net(feats)[0].numpy()
    else:
      logits = M.pool_mean(net.frame_logits(net.embed(feats)), torch.zeros(1), 200)[0].numpy()
      counts = np.minimum(np.arange(1, 301), 200)
      logits = logits * 200 / counts  # a cold pool averages only the frames it holds
  session = streaming.StreamingSession(M.tensor_table(net), warm_start=warm_start)
  # chunks of odd sizes: the frames must not depend on the split
  scores = []
  for chunk in np.array_split(audio, 37):
    scores += session.push(chunk)[1]
  assert len(scores) == 300
  np.testing.assert_allclose(np.array(scores), 1 / (1 + np.exp(-logits)), atol=1e-4)
  assert np.ptp(scores) > 0.05  # the check is not vacuous


def test_warm_state_history_is_the_silence_response():
  net = random_net(2)
  with torch.no_grad():
    hist, e_warm = net.warm_state()
  session = streaming.StreamingSession(M.tensor_table(net))
  np.testing.assert_allclose(session.ring[0], e_warm[0].numpy(), atol=1e-5)
  for b, h in enumerate(hist):
    np.testing.assert_allclose(session.hist[b][:, 1:].T, h[0].numpy(), atol=1e-5)


def test_detection_gate():
  assert streaming.detections([1.0] * 250, 0.0, 100) == [0, 101, 202]
  assert streaming.detections([0.95] * 5, 0.9, 0) == [0, 1, 2, 3, 4]
  assert streaming.detections([0.1, 0.95, 0.99, 0.2, 0.91], 0.9, 2) == [1, 4]
  assert streaming.detections([float("nan"), 0.5], 0.0, 0) == [1]
