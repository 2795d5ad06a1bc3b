#!/usr/bin/python3
"""File: train.py -- step 2 of the recipe: trains the engine's network on composed streams.

Usage: train.py DATA_DIR WORK_DIR [--steps N] [--batch B] [--frames T] [--run-in R]
                [--without-synth]
Needs prepare_data.py's output in WORK_DIR (--without-synth: only the decoded real data and
the neural voices, for a smoke test). Every stream opens with R frames (default 4.4 s) of its
own room, which go through the network without gradient and carry no target, so that the
pool and the receptive field of every trained frame hold the stream's own sound as in a
session that has been listening, never the warm-up's silence. Saves WORK_DIR/checkpoint.pt
every few minutes (training resumes from it) and at the end, and the network every 500
steps as WORK_DIR/snapshot_STEP.pt, and a moving average of the weights over the last few
hundred steps as WORK_DIR/model_average.pt; calibrate.py then fits the head to the pooled score and
choose.py picks among the calibrated candidates on validation people.
"""

import argparse
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import augment, averaging, data, frontend, losses, metrics, model as M  # noqa: E402
from quelt_train.progress import Progress, skipped  # noqa: E402


class BatchStream(torch.utils.data.IterableDataset):
  """Endless composed batches, built in a worker process beside the training loop. With a
  frontend the worker also computes the features (a third of a step's time on the long
  streams), so the training loop gets (features, labels, is_positive)."""

  def __init__(self, composer, batch, seed, frontend=None, vtlp=0.0):
    super().__init__()
    self.composer, self.batch, self.seed, self.frontend = composer, batch, seed, frontend
    self.vtlp = vtlp

  def __iter__(self):
    rng = np.random.default_rng(self.seed)
    while True:
      x, labels, positive = self.composer.batch(rng, self.batch)
      if self.frontend is not None:
        # every example, word or not, through a vocal tract of its own length, so that
        # the warp does not tell the classes apart
        warp = (torch.from_numpy(rng.uniform(1 - self.vtlp, 1 + self.vtlp, len(x)))
                if self.vtlp else None)
        with torch.no_grad():
          x = self.frontend(torch.from_numpy(x), warp)
      yield x, labels, positive


def validation_set(composer, seed, count):
  rng = np.random.default_rng(seed)
  items = [composer.example(rng, positive=(i % 2 == 0)) for i in range(count)]
  x = np.stack([a for a, _, _ in items])
  lab = np.stack([b for _, b, _ in items])
  return torch.from_numpy(x), torch.from_numpy(lab)


@torch.no_grad()
def frame_validation(net, fe, x, labels, chunk=64, word_gates=0):
  """Mean per-frame loss of the exported head on the validation streams (with word_gates, a
  gated head's: of its word gates)."""
  net.eval()
  total = 0.0
  for i in range(0, len(x), chunk):
    hist, _ = net.warm_state()
    lab = labels[i: i + chunk].long()
    if word_gates:
      loss = losses.gated_channel_loss(net.embed(fe(x[i: i + chunk]), hist,
                                                 pre_activation=True), lab,
                                       word_gates=word_gates)[0]
    else:
      loss = losses.auxiliary_frame_loss(net.frame_logits(net.embed(fe(x[i: i + chunk]), hist)),
                                         lab)
    total += float(loss) * len(lab)
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


def run_stream(net, feats, run_in, pre_activation=False):
  """(per-frame logits, embeddings, pooled logits) of the frames after the run-in: the
  run-in's frames go through the network without gradient, from the warm-up state, and the
  trained frames continue from the state and the pool they left. run_in 0: the trained
  frames follow the warm-up itself. pre_activation: the embeddings before their last ReLU
  are returned in their place."""
  if run_in:
    with torch.no_grad():
      histories, e_prior = net.state_after(feats[:, :run_in])
      prior = net.frame_logits(e_prior[:, -M.WINDOW_SIZE:])
    pre = net.embed(feats[:, run_in:], histories, pre_activation=True)
    frame = net.frame_logits(torch.relu(pre))
    return frame, pre if pre_activation else torch.relu(pre), M.pool_after(frame, prior)
  histories, e_warm = net.warm_state()
  pre = net.embed(feats, histories, pre_activation=True)
  frame = net.frame_logits(torch.relu(pre))
  return (frame, pre if pre_activation else torch.relu(pre),
          M.pool_mean(frame, net.frame_logits(e_warm)))


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
  ap.add_argument("--run-in", type=int, default=augment.RUN_IN_FRAMES,
                  help="frames of the stream's room before the trained frames (0: none)")
  ap.add_argument("--p-talk", type=float, default=0.3,
                  help="share of streams that are talk without pause (with a word inside)")
  ap.add_argument("--p-reset", type=float, default=0.0,
                  help="share of streams whose run-in is digital silence, as a session hears "
                       "its first seconds after a reset")
  ap.add_argument("--p-real", type=float, default=augment.P_REAL,
                  help="share of training wake words taken from real recordings (validation "
                       "keeps the default mix, so that its loss compares across runs)")
  ap.add_argument("--band-weight", type=float, default=0.05,
                  help="weight of the floor on background frame logits (0: none)")
  ap.add_argument("--floor", type=float, default=losses.BACKGROUND_FLOOR)
  ap.add_argument("--floor-both-sides", action="store_true",
                  help="hold background frames at the floor from above as well as below")
  ap.add_argument("--quiet-weight", type=float, default=0.0,
                  help="weight of the squared embedding of background frames (0: none)")
  ap.add_argument("--word-level", type=float, default=0.0,
                  help="per-frame logit the word's window is hinged to (0: none; "
                       f"{losses.WORD_LEVEL:g} is what the 2 s pool needs) and, with it, the "
                       f"span after the word to {losses.AFTER_LEVEL:g}")
  ap.add_argument("--level-weight", type=float, default=1.0,
                  help="weight of the two --word-level hinges")
  ap.add_argument("--pool-weight", type=float, default=0.0,
                  help="weight of the pooled 2 s objective in training, reached after --ramp "
                       "steps (0: the pooled score is left to the head fit)")
  ap.add_argument("--gated-head", action="store_true",
                  help="train two embedding channels as gates (the word, the moment after "
                       "it), zero for everything else, and a head that reads only them")
  ap.add_argument("--gate-peak-weight", type=float, default=0.0,
                  help="with --gated-head: weight of each stream's most open background frame "
                       "of the word gate (0: none)")
  ap.add_argument("--word-gates", type=int, default=1,
                  help="with --gated-head: embedding channels trained as word gates, each "
                       f"against the same target (1 to {losses.MAX_WORD_GATES})")
  ap.add_argument("--vtlp", type=float, default=0.15,
                  help="vocal-tract length perturbation: frequency warp factors drawn from "
                       "1 +- this (0: none)")
  ap.add_argument("--p-opus", type=float, default=0.5,
                  help="share of wake words passed through an Opus round trip")
  ap.add_argument("--without-synth", action="store_true",
                  help="train without prepared synthetic clips (a smoke test)")
  ap.add_argument("--seed", type=int, default=7)
  ap.add_argument("--val-every", type=int, default=150)
  ap.add_argument("--val-streams", type=int, default=256,
                  help="validation streams scored every --val-every steps")
  ap.add_argument("--average-decay", type=float, default=0.998,
                  help="decay of the moving average of the weights, saved at the end as "
                       "WORK_DIR/model_average.pt (0: none; 0.998 spans about 500 steps)")
  ap.add_argument("--snapshot-every", type=int, default=500,
                  help="also keep the network every N steps as WORK_DIR/snapshot_STEP.pt, "
                       "for the choice on validation people (0: none)")
  args = ap.parse_args()
  if 0 < args.run_in < M.WINDOW_SIZE:
    ap.error(f"--run-in must be 0 or at least the pool's {M.WINDOW_SIZE} frames")
  if not 1 <= args.word_gates <= losses.MAX_WORD_GATES:
    ap.error(f"--word-gates must be 1 to {losses.MAX_WORD_GATES}")
  word_gates = args.word_gates if args.gated_head else 0
  torch.set_num_threads(args.threads)
  torch.manual_seed(args.seed)
  t0 = time.time()
  log = lambda m: print(f"[{time.time() - t0:7.1f}s] {m}", flush=True)
  ckpt_path = os.path.join(args.work_dir, "checkpoint.pt")
  if os.path.exists(ckpt_path):
    done = torch.load(ckpt_path)["step"]
    if done >= args.steps:
      skipped("train", f"{ckpt_path} holds {done} steps (of {args.steps})")
      return

  corpus = data.load_corpus(args.data_dir, args.work_dir, require_synth=not args.without_synth)
  train_set = augment.Composer(corpus, "train", args.frames, p_talk=args.p_talk,
                               run_in_frames=args.run_in, p_opus=args.p_opus,
                               p_reset=args.p_reset, p_real=args.p_real)
  val_set = augment.Composer(corpus, "val", args.frames, p_talk=args.p_talk,
                             run_in_frames=args.run_in, p_opus=args.p_opus,
                             p_reset=args.p_reset)
  val_x, val_labels = validation_set(val_set, 99, args.val_streams)
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
  model_path = os.path.join(args.work_dir, "model.pt")
  step = 0
  if os.path.exists(ckpt_path):
    ck = torch.load(ckpt_path)
    net.load_state_dict(ck["model"])
    after_head.load_state_dict(ck["after_head"])
    opt.load_state_dict(ck["opt"])
    step = ck["step"]
    log(f"resumed at step {step}")
  elif args.gated_head:
    # fixed during training (its gradient is not used), so the log's pooled terms show how
    # far the gates alone carry the 2 s mean; calibrate.py fits it afterwards
    losses.set_gated_head(net.head, word_gates=args.word_gates)
  average = averaging.WeightAverage(net, args.average_decay) if args.average_decay else None
  if average is not None and step and "average" in ck:
    average.load_state_dict(ck["average"])
  batches = iter(torch.utils.data.DataLoader(
      BatchStream(train_set, args.batch, args.seed + step, fe, args.vtlp), batch_size=None,
      num_workers=1, prefetch_factor=4))

  def save_checkpoint():
    state = {"model": net.state_dict(), "opt": opt.state_dict(), "step": step,
             "after_head": after_head.state_dict()}
    if average is not None:
      state["average"] = average.state_dict()
    torch.save(state, ckpt_path)

  last_ckpt = time.time()
  stats_acc = []
  steps = Progress("train", args.steps, start=step)
  while step < args.steps:
    frac = step / args.steps
    for g in opt.param_groups:
      g["lr"] = g["base_lr"] * (0.05 + 0.95 * 0.5 * (1 + np.cos(np.pi * frac)))
    t_data = time.time()
    x, labels, _ = next(batches)
    t_step = time.time()
    labels = labels.long()
    frame_logits, e, logits = run_stream(net, x, args.run_in, pre_activation=args.gated_head)
    labels = labels[:, args.run_in:]
    pooled, st = losses.frame_loss(logits if args.pool_weight else logits.detach(), labels)
    # Per-frame objectives train the network: the word in a short window after it ends, and
    # (second head) the moment after. The pooled score is fitted afterwards, on the head.
    band = losses.background_band_loss(frame_logits, labels, args.floor,
                                       exempt_after=bool(args.word_level),
                                       two_sided=args.floor_both_sides)
    if args.gated_head:
      # the gates alone are trained: the head is fixed and reads nothing else
      aux, after = losses.gated_channel_loss(e, labels, args.gate_peak_weight,
                                             args.word_gates)
      quiet = band * 0
      loss = args.aux_weight * aux + 0.5 * after
    else:
      aux = losses.auxiliary_frame_loss(frame_logits, labels)
      after = losses.auxiliary_frame_loss(after_head(e).squeeze(-1),
                                          losses.after_targets(labels))
      quiet = losses.quiet_embedding_loss(e, labels)
      loss = args.aux_weight * aux + 0.5 * after + args.band_weight * band
      if args.quiet_weight:
        loss = loss + args.quiet_weight * quiet
      if args.word_level:
        # the levels the pool needs: the word's window high, the moment after it low
        after_level = args.word_level * losses.AFTER_LEVEL / losses.WORD_LEVEL
        loss = loss + args.level_weight * (
            losses.word_level_loss(frame_logits, labels, args.word_level) +
            losses.after_level_loss(frame_logits, labels, after_level))
    if args.pool_weight:
      # A frame classifier is content once every frame is on its side; the pool needs the
      # word to move the 2 s mean of the embedding clear of every room's mean.
      loss = loss + args.pool_weight * min(1.0, step / max(1, args.ramp)) * pooled
    opt.zero_grad()
    loss.backward()
    torch.nn.utils.clip_grad_norm_(net.parameters(), 5.0)
    opt.step()
    if average is not None:
      average.update(net)
    step += 1
    stats_acc.append([float(loss), st["neg"], st["neg_peak"], st["pos"], float(aux),
                      float(after), float(band), float(quiet), t_step - t_data,
                      time.time() - t_step])
    if step % 10 == 0 or step == args.steps:
      m = np.mean(stats_acc, axis=0)
      stats_acc = []
      steps.update(step, loss=round(m[0], 3), neg=round(m[1], 3), neg_peak=round(m[2], 3),
                   pos=round(m[3], 3), frame=round(m[4], 3), after=round(m[5], 3),
                   band=round(m[6], 3), quiet=round(m[7], 3),
                   lr=f"{opt.param_groups[0]['lr']:.2e}", wait=f"{m[8]:.2f}s",
                   step_time=f"{m[9]:.2f}s")
    if step % args.val_every == 0:
      steps.update(step, validation_frame_loss=round(
          frame_validation(net, fe, val_x, val_labels, word_gates=word_gates), 4))
    if args.snapshot_every and step % args.snapshot_every == 0:
      torch.save(net.state_dict(), os.path.join(args.work_dir, f"snapshot_{step:06d}.pt"))
    if time.time() - last_ckpt > 180:
      save_checkpoint()
      last_ckpt = time.time()
  torch.save(net.state_dict(), model_path)
  if average is not None:
    torch.save(average.state_dict(), os.path.join(args.work_dir, "model_average.pt"))
  save_checkpoint()
  final = frame_validation(net, fe, val_x, val_labels, word_gates=word_gates)
  log(f"done after {step} steps; validation per-frame loss {final:.4f}; the head is fitted "
      "next (calibrate.py)")


if __name__ == "__main__":
  main()
