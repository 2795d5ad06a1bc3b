#!/usr/bin/python3
"""File: train.py -- step 2 of the recipe: trains the engine's network on composed streams.

Usage: train.py DATA_DIR WORK_DIR [--steps N] [--batch B] [--frames T]
Needs prepare_data.py's output in WORK_DIR. Saves WORK_DIR/checkpoint.pt every few minutes
(training resumes from it) and at the end; calibrate.py then fits the head to the pooled
score and writes WORK_DIR/model.pt.
"""

import argparse
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import augment, data, frontend, losses, metrics, model as M  # noqa: E402


class BatchStream(torch.utils.data.IterableDataset):
  """Endless composed batches, built in a worker process beside the training loop."""

  def __init__(self, composer, batch, seed):
    super().__init__()
    self.composer, self.batch, self.seed = composer, batch, seed

  def __iter__(self):
    rng = np.random.default_rng(self.seed)
    while True:
      yield self.composer.batch(rng, self.batch)


def validation_set(composer, seed, count):
  rng = np.random.default_rng(seed)
  items = [composer.example(rng, positive=(i % 2 == 0)) for i in range(count)]
  x = np.stack([a for a, _, _ in items])
  lab = np.stack([b for _, b, _ in items])
  return torch.from_numpy(x), torch.from_numpy(lab)


@torch.no_grad()
def frame_validation(net, fe, x, labels, chunk=64):
  """Mean per-frame loss of the exported head on the validation streams."""
  net.eval()
  total = 0.0
  for i in range(0, len(x), chunk):
    hist, _ = net.warm_state()
    frame = net.frame_logits(net.embed(fe(x[i: i + chunk]), hist))
    total += float(losses.auxiliary_frame_loss(frame, labels[i: i + chunk].long())) * len(
        x[i: i + chunk])
  net.train()
  return total / len(x)


@torch.no_grad()
def validate(net, fe, x, labels, chunk=64):
  """Positive streams with exactly one detection near the word; negative-stream detections."""
  net.eval()
  scores = torch.cat([torch.sigmoid(net(fe(x[i: i + chunk]))) for i in range(0, len(x), chunk)])
  net.train()
  hits = fas = n_pos = n_neg = 0
  for s, lab in zip(scores.numpy(), labels.numpy()):
    det = metrics.detections(s)
    if (lab == 1).any():
      n_pos += 1
      free = lab != 0
      hits += len(det) == 1 and free[det[0]]
      fas += sum(1 for d in det if not free[d])
    else:
      n_neg += 1
      fas += len(det)
  return hits / max(1, n_pos), fas, n_neg


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("data_dir")
  ap.add_argument("work_dir")
  # A step count, not a time budget, so that every machine replays the same run: the
  # bundled model took 4 312 steps.
  ap.add_argument("--steps", type=int, default=4312, help="training steps")
  ap.add_argument("--batch", type=int, default=32)
  ap.add_argument("--frames", type=int, default=300)
  ap.add_argument("--lr", type=float, default=1e-3)
  ap.add_argument("--head-lr-mult", type=float, default=5.0)
  ap.add_argument("--ramp", type=int, default=300, help="steps before the pooled loss is full")
  # One thread: on a busy machine a second OpenMP thread spins waiting for the first and
  # makes a step several times slower.
  ap.add_argument("--threads", type=int, default=1)
  ap.add_argument("--aux-weight", type=float, default=1.0)
  ap.add_argument("--seed", type=int, default=7)
  ap.add_argument("--val-every", type=int, default=150)
  args = ap.parse_args()
  torch.set_num_threads(args.threads)
  torch.manual_seed(args.seed)
  t0 = time.time()
  log = lambda m: print(f"[{time.time() - t0:7.1f}s] {m}", flush=True)

  corpus = data.load_corpus(args.data_dir, args.work_dir)
  train_set = augment.Composer(corpus, "train", args.frames)
  val_set = augment.Composer(corpus, "val", args.frames)
  val_x, val_labels = validation_set(val_set, 99, 256)
  log(f"corpus ready; {len(val_x)} validation streams")

  fe = frontend.TorchFrontend()
  net = M.WakeWordNet()
  # The pooled logit is the mean of per-frame logits over 2 s, so a word must move the
  # per-frame logits by tens; the head and the embedding's scale learn faster to get there.
  fast = {"head.weight", "head.bias", "bottleneck_ln.ln.weight", "bottleneck_ln.ln.bias"}
  after_head = torch.nn.Linear(M.BOTTLENECK_CHANNELS, 1)
  params = dict(net.named_parameters())
  params.update({"after_head." + n: p for n, p in after_head.named_parameters()})
  opt = torch.optim.AdamW(
      [{"params": [p for n, p in params.items() if n not in fast], "base_lr": args.lr},
       {"params": [p for n, p in params.items() if n in fast],
        "base_lr": args.lr * args.head_lr_mult}],
      lr=args.lr, weight_decay=1e-4)
  ckpt_path = os.path.join(args.work_dir, "checkpoint.pt")
  model_path = os.path.join(args.work_dir, "model.pt")
  step = 0
  if os.path.exists(ckpt_path):
    ck = torch.load(ckpt_path)
    net.load_state_dict(ck["model"])
    after_head.load_state_dict(ck["after_head"])
    opt.load_state_dict(ck["opt"])
    step = ck["step"]
    log(f"resumed at step {step}")
  batches = iter(torch.utils.data.DataLoader(
      BatchStream(train_set, args.batch, args.seed + step), batch_size=None, num_workers=1,
      prefetch_factor=4))

  def save_checkpoint():
    torch.save({"model": net.state_dict(), "opt": opt.state_dict(), "step": step,
                "after_head": after_head.state_dict()}, ckpt_path)

  last_ckpt = time.time()
  stats_acc = []
  while step < args.steps:
    frac = step / args.steps
    for g in opt.param_groups:
      g["lr"] = g["base_lr"] * (0.05 + 0.95 * 0.5 * (1 + np.cos(np.pi * frac)))
    x, labels, _ = next(batches)
    labels = labels.long()
    histories, e_warm = net.warm_state()
    e = net.embed(fe(x), histories)
    frame_logits = net.frame_logits(e)
    logits = M.pool_mean(frame_logits, net.frame_logits(e_warm))
    _, st = losses.frame_loss(logits.detach(), labels)
    # Per-frame objectives train the network: the word in a short window after it ends, and
    # (second head) the moment after. The pooled score is fitted afterwards, on the head.
    aux = losses.auxiliary_frame_loss(frame_logits, labels)
    after = losses.auxiliary_frame_loss(after_head(e).squeeze(-1), losses.after_targets(labels))
    loss = aux + 0.5 * after
    opt.zero_grad()
    loss.backward()
    torch.nn.utils.clip_grad_norm_(net.parameters(), 5.0)
    opt.step()
    step += 1
    stats_acc.append([float(loss), st["neg"], st["neg_peak"], st["pos"], float(aux),
                      float(after)])
    if step % 10 == 0:
      m = np.mean(stats_acc, axis=0)
      stats_acc = []
      log(f"step {step} loss {m[0]:.3f} neg {m[1]:.3f} neg_peak {m[2]:.3f} pos {m[3]:.3f} "
          f"frame {m[4]:.3f} after {m[5]:.3f} "
          f"lr {opt.param_groups[0]['lr']:.2e}")
    if step % args.val_every == 0:
      log(f"validation per-frame loss {frame_validation(net, fe, val_x, val_labels):.4f}")
    if time.time() - last_ckpt > 180:
      save_checkpoint()
      last_ckpt = time.time()
  torch.save(net.state_dict(), model_path)
  save_checkpoint()
  log(f"done after {step} steps; validation per-frame loss "
      f"{frame_validation(net, fe, val_x, val_labels):.4f}; the head is fitted next "
      "(calibrate.py)")


if __name__ == "__main__":
  main()
