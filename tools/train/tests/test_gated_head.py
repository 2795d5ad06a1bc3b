"""The gated head: two embedding channels that are zero for everything but the word and the
moment after it, and a head that reads only them, so that every room pools to the bias."""

import numpy as np
import pytest
import torch

import calibrate
import train
from quelt_train import losses, metrics, model as M
from quelt_train import frontend as fe
from test_model import random_net

THRESHOLD = 0.9


def word_labels(t, ends):
  lab = torch.zeros(1, t, dtype=torch.long)
  for end in ends:
    lab[0, end - 15: end + 80] = -1
    lab[0, end - 5: end + 41] = 1
  return lab


def gate_profile(t, ends, rng, level=5.0):
  """Pre-activations (1, t, 16): the gates well below zero by a different amount in each
  "room" (a new one every 300 frames), open at `level` on the word's window and the span
  after it; the other channels anything at all."""
  pre = torch.from_numpy(rng.normal(0, 3, (1, t, 16)).astype(np.float32))
  for start in range(0, t, 300):
    depth = float(rng.uniform(0.5, 12.0))
    pre[0, start: start + 300, list(losses.GATED_CHANNELS)] = -depth - torch.rand(
        min(300, t - start), 2)
  for end in ends:
    pre[0, end - 5: end + 41, losses.WORD_CHANNEL] = level
    pre[0, end + losses.AFTER_START: end + losses.AFTER_END, losses.AFTER_CHANNEL] = level
  return pre


def test_every_room_pools_to_the_bias_and_each_word_detects_once():
  rng = np.random.default_rng(2)
  t, ends = 3000, [700, 1600, 2500]
  net = random_net(1)
  losses.set_gated_head(net.head)
  assert int((net.head.weight != 0).sum()) == len(losses.GATED_CHANNELS)
  pre = gate_profile(t, ends, rng)
  frame = net.frame_logits(torch.relu(pre))
  lab = word_labels(t, ends)
  # background frames of every room, however far below zero their gates sit and whatever
  # the other channels do, give exactly the bias
  bg = lab[0] == 0
  for end in ends:
    bg[end + losses.AFTER_START: end + losses.AFTER_END] = False
  assert (frame[0, bg] == losses.BACKGROUND_FLOOR).all()
  prior = torch.full((1, M.WINDOW_SIZE), losses.BACKGROUND_FLOOR)
  scores = torch.sigmoid(M.pool_after(frame, prior))[0].detach().numpy()
  det = metrics.detections(scores, THRESHOLD)
  assert len(det) == len(ends)
  for d, end in zip(det, ends):
    assert end - 5 <= d <= end + metrics.ACCEPT_AFTER


def test_the_after_gate_is_shut_on_the_word_and_open_after_it():
  t, end = 500, 200
  lab = word_labels(t, [end])
  target = losses.after_channel_targets(lab)[0]
  assert (target[end - 5: end + 41] == 0).all()
  assert (target[end + losses.AFTER_START: end + losses.AFTER_END] == 1).all()
  assert (target[: end - 15] == 0).all()
  # gates that follow their targets cost little, gates swapped cost much
  pre = torch.full((1, t, 16), -8.0)
  pre[0, end - 5: end + 41, losses.WORD_CHANNEL] = 8.0
  pre[0, end + losses.AFTER_START: end + losses.AFTER_END, losses.AFTER_CHANNEL] = 8.0
  word, after = losses.gated_channel_loss(pre, lab)
  assert float(word) < 1e-3 and float(after) < 1e-3
  # one background frame open: the mean hardly moves, the peak term sees it
  pre[0, 20, losses.WORD_CHANNEL] = 4.0
  mean_only = float(losses.gated_channel_loss(pre, lab)[0])
  with_peak = float(losses.gated_channel_loss(pre, lab, peak_weight=1.0)[0])
  assert mean_only < 0.02 and with_peak - mean_only > 4.0
  pre[0, 20, losses.WORD_CHANNEL] = -8.0
  # with three word gates each is held to the word: one left shut costs its share
  three = pre.clone()
  three[..., 2] = three[..., losses.WORD_CHANNEL]
  shut = float(losses.gated_channel_loss(three, lab, word_gates=3)[0])
  three[..., 3] = three[..., losses.WORD_CHANNEL]
  assert shut > 0.2 and float(losses.gated_channel_loss(three, lab, word_gates=3)[0]) < 1e-3
  swapped = pre[..., [1, 0] + list(range(2, 16))]
  word, after = losses.gated_channel_loss(swapped, lab)
  assert float(word) > 1.0 and float(after) > 1.0


def test_the_pre_activation_is_what_the_embedding_clips():
  net = random_net(4)
  feats = fe.TorchFrontend()(torch.from_numpy(
      np.random.default_rng(1).standard_normal((2, 16000 * 5)).astype(np.float32) * 0.1))
  frame, e, pooled = train.run_stream(net, feats, 300)
  frame_p, pre, pooled_p = train.run_stream(net, feats, 300, pre_activation=True)
  assert (pre < 0).any()
  torch.testing.assert_close(torch.relu(pre), e)
  torch.testing.assert_close(frame_p, frame)
  torch.testing.assert_close(pooled_p, pooled)


@pytest.mark.parametrize("word_gates", [1, 3])
def test_the_gate_fit_opens_gates_that_training_left_shut_and_reads_only_them(word_gates):
  # Gates as cross-entropy leaves them early on: the word's window below zero (shut) but
  # above the background; the after gate likewise. A distractor channel that tracks the word
  # must stay unused. The fit moves the gates' openings and detects the words. With several
  # word gates the fit reads every gate the training head reads, and only those.
  trained = random_net(4)
  losses.set_gated_head(trained.head, word_gates=word_gates)
  gates = losses.gated_channels_of(trained.head)
  words = list(losses.word_channels(word_gates))
  assert gates == sorted(words + [losses.AFTER_CHANNEL])
  assert float(trained.head.weight[0, words].sum()) == losses.GATED_HEAD_WEIGHTS[
      losses.WORD_CHANNEL]
  rng = np.random.default_rng(9)
  b, t = 48, 300
  pre = rng.normal(-3.0, 0.4, (b, 200 + t, 16)).astype(np.float32)
  labels = np.zeros((b, t), np.int64)
  for i in range(0, b, 2):
    end = int(rng.integers(60, 150))
    for ch in words:
      pre[i, 200 + end - 5: 200 + end + 41, ch] = rng.uniform(-1.5, -0.5)
    pre[i, 200 + end + 41: 200 + end + 150, losses.AFTER_CHANNEL] = rng.uniform(-1.5, -0.5)
    pre[i, 200 + end - 5: 200 + end + 41, 7] += 6.0
    labels[i, end - 15: end + 80] = -1
    labels[i, end - 5: end + 41] = 1
  pre, labels = torch.from_numpy(pre), torch.from_numpy(labels)
  w0 = trained.head.weight[0, gates].detach().clone()
  fit = calibrate.fit_gated_head(pre[..., gates], labels, w0,
                                 torch.tensor([losses.BACKGROUND_FLOOR]), 600, lambda m: None)
  net = random_net(3)
  ln = net.bottleneck_ln.ln
  g_before, b_before = ln.weight.detach().clone(), ln.bias.detach().clone()
  calibrate.set_gates(net, gates, *fit)
  others = [c for c in range(16) if c not in gates]
  assert (net.head.weight[0, others] == 0).all()
  assert float(net.head.weight[0, words].sum()) > 0
  assert float(net.head.weight[0, losses.AFTER_CHANNEL]) < 0
  assert torch.equal(ln.weight[others], g_before[others])
  assert torch.equal(ln.bias[others], b_before[others])
  # the layer norm's new scale and shift do to a gate what the fit did to its pre-activation
  _, _, scale, shift = fit
  z = (pre[..., gates] - b_before[gates]) / g_before[gates]
  torch.testing.assert_close(z * ln.weight[gates] + ln.bias[gates], pre[..., gates] * scale + shift)
  e = torch.relu(pre * 0)
  e[..., gates] = torch.relu(pre[..., gates] * scale + shift)
  with torch.no_grad():
    frame = net.frame_logits(e)
  pooled = M.pool_after(frame[:, 200:], frame[:, :200])
  pos_peak = torch.where(labels == 1, pooled, torch.tensor(-1e4)).amax(dim=1)[::2]
  neg_peak = torch.where(labels == 0, pooled, torch.tensor(-1e4)).amax(dim=1)
  assert (pos_peak > calibrate.THRESHOLD_LOGIT).float().mean() > 0.9
  assert (neg_peak < calibrate.THRESHOLD_LOGIT).all()
