#!/usr/bin/python3
"""File: evaluate.py -- step 3 of the recipe: held-out evaluation through the engine.

Usage: evaluate.py DATA_DIR WORK_DIR MODEL.qelt [--docs DIR] [--cli PATH] [--listening-only]
Scores held-out positives (at 10 dB SNR) and at least two hours of held-out negative audio
with the engine (the per-frame scores of its command-line tool, quelt-wake-word detect
--scores: the one given, or the newest build's), sweeps the threshold, counts the detections
of each real wake-word recording fed alone as a short session (with 1 s of silence before and
after, as the command-line tool feeds it), and writes DIR/model_eval.json, the table in
DIR/model_eval.md and the DET curve DIR/model_det.png.

Then the listening condition (quelt_train/listening.py), the main figure: held-out wake words
every 8 to 20 s in long streams of held-out talk and noise, and of a quiet room, and five
hours of held-out talk, each stream one engine session never reset; written to
DIR/model_listening.json, DIR/model_listening.md and DIR/model_listening_det.png.
--listening-only takes only that part, which needs no prepared synthetic clips (held-out
synthetic voices join it when WORK_DIR holds them).
"""

import argparse
import json
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
from quelt_train import card, data, engine, evalsets, listening, metrics  # noqa: E402


def score_all(scorer, streams, log):
  """Frame scores of every stream, 200 streams to a run of the tool."""
  out = []
  for i in range(0, len(streams), 200):
    out += scorer.scores_many(streams[i: i + 200])
    log(f"  scored {len(out)}/{len(streams)}")
  return out


def det_plot(rows, real_rows, path, title):
  import matplotlib
  matplotlib.use("Agg")
  import matplotlib.pyplot as plt
  fig, ax = plt.subplots(figsize=(6, 4.5))
  curves = [(rows, "held-out synthetic voices, 10 dB SNR")]
  if real_rows:
    curves.append((real_rows, "held-out real speaker (20 clips), 10 dB SNR"))
  for rs, label in curves:
    fa = np.array([max(r["fa_per_hour"], 0.01) for r in rs])
    frr = np.array([max(r["frr"], 1e-3) * 100 for r in rs])
    ax.plot(fa, frr, marker=".", label=label)
  d = [r for r in rows if abs(r["threshold"] - 0.9) < 1e-6]
  if d:
    ax.plot([max(d[0]["fa_per_hour"], 0.01)], [max(d[0]["frr"], 1e-3) * 100], "r*",
            markersize=12, label="default threshold 0.9")
  ax.set_xscale("log")
  ax.set_yscale("log")
  ax.set_xlabel("false accepts per hour (held-out negative audio)")
  ax.set_ylabel("false rejects (%)")
  ax.set_title(title)
  ax.grid(True, which="both", alpha=0.3)
  ax.legend(fontsize=8)
  fig.tight_layout()
  fig.savefig(path, dpi=110)


def fmt_row(label, r):
  if r is None:
    return f"| {label} | not reached | | |"
  return (f"| {label} | {r['threshold']:.6f} | {100 * r['frr']:.1f} % | "
          f"{r['fa_per_hour']:.2f} | {100 * r['exactly_one']:.1f} % |")


def at_default(rows):
  return [r for r in rows if abs(r["threshold"] - np.float32(0.9)) < 1e-7][0]


def listening_row(label, family, r):
  if r is None:
    return f"| {label} | not reached | | | | |"
  f = r["families"][family]
  return (f"| {label} | {r['threshold']:.6f} | {100 * f['frr']:.1f} % | "
          f"{100 * f['exactly_one']:.1f} % | {r['fa_per_hour']:.2f} / {r['talk_fa_per_hour']:.2f}"
          f" / {r['pooled_fa_per_hour']:.2f} |")


CONDITIONS = (("room", "Room: talk between the words, noise bed 10 dB under them"),
              ("quiet", "Quiet room: room noise 30 dB under the words, nothing between them"))


def listening_report(res, scorer_name):
  info = res["info"]
  fams = sorted(info["voices"], key=lambda f: list(listening.FAMILIES.values()).index(f))
  lines = [f"Scored with the {scorer_name}, each stream one session never reset. "
           f"{info['words']} wake words of the {info['split']} people ("
           + ", ".join(f"{f}: {info['clips'][f]} clips of {info['voices'][f]} voices"
                       for f in fams)
           + f"; every clip placed {info['repeats']} times), one every 8 to 20 s, in streams "
           f"of {info['stream_hours']:.2f} h (layout seed {info['seed']}); false accepts also "
           f"over {info['talk_hours']:.2f} h of that split's talk with no wake word (one session). A word is found by a detection "
           "from its start to 1 s after its end; every other detection is a false accept.", "",
           f"Held-out talk alone: {res['talk_detections_at_default']} false accepts at the "
           f"default threshold 0.9 in {info['talk_hours']:.2f} h "
           f"({res['talk_detections_at_default'] / info['talk_hours']:.2f} per hour).", "",
           "The same clips each alone right after a reset, between 1 s of digital silence "
           "(the secondary figure), at the default threshold: " + "; ".join(
               f"{f} {a['detected']} of {a['clips']} detected"
               for f, a in sorted(res["alone_after_reset"].items())) + ".", ""]
  curve = res["after_room"]
  ts = list(next(iter(curve.values())))
  lines += ["Each clip once right after a reset, after t seconds of the room (and 1.5 s of it "
            "after the word): share detected at the default threshold.", "",
            "| Before the word | " + " | ".join(f"{t} s" for t in ts) + " |",
            "|---|" + "---|" * len(ts)]
  for bed, row in curve.items():
    lines.append(f"| {bed} | " + " | ".join(f"{100 * row[t]:.0f} %" for t in ts) + " |")
  lines.append("")
  prof = res["profile"]
  for key, title in CONDITIONS:
    p = prof[key]
    lines.append(f"Scores in the {title.split(':')[0].lower()}: each word's highest score in "
                 "its window (10th / 50th / 90th percentile) " + "; ".join(
                     f"{f} {' / '.join(f'{v:.3f}' for v in q)}"
                     for f, q in sorted(p["word_peak_p10_p50_p90"].items())) +
                 "; frames outside the windows (50th / 99th / 99.9th percentile) " +
                 " / ".join(f"{v:.4f}" for v in p["room_p50_p99_p999"]) + ".")
  lines += ["Scores of the held-out talk (50th / 99th / 99.9th percentile): " +
            " / ".join(f"{v:.4f}" for v in prof["talk_p50_p99_p999"]) + ".", ""]
  for key, title in CONDITIONS:
    rows = res[key]
    lines += [f"**{title}.**", "",
              "| Voices, operating point | Threshold | False rejects | Exactly one detection | "
              "False accepts / h (stream / talk / pooled) |", "|---|---|---|---|---|"]
    for fam in fams + ["all"]:
      lines.append(listening_row(f"{fam}, default 0.9", fam, at_default(rows)))
      for x in (0.5, 1.0):
        lines.append(listening_row(f"{fam}, <= {x} FA/h", fam, listening.frr_at(rows, fam, x)))
    lines.append("")
  return lines


def listening_plot(res, path):
  import matplotlib
  matplotlib.use("Agg")
  import matplotlib.pyplot as plt
  fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
  for ax, (key, title) in zip(axes, CONDITIONS):
    rows = res[key]
    for fam in sorted(rows[0]["families"]):
      fa = np.array([max(r["pooled_fa_per_hour"], 0.01) for r in rows])
      frr = np.array([max(r["families"][fam]["frr"], 1e-3) * 100 for r in rows])
      ax.plot(fa, frr, marker=".", label=fam)
    d = at_default(rows)
    ax.plot([max(d["pooled_fa_per_hour"], 0.01)], [max(d["families"]["all"]["frr"], 1e-3) * 100],
            "r*", markersize=12, label="default threshold 0.9 (all)")
    ax.set_xscale("log")
    ax.set_xlabel("false accepts per hour, stream and talk (0 drawn at 0.01)")
    ax.set_title(title.split(":")[0] + " (listening, never reset)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)
  axes[0].set_ylabel("false rejects (%)")
  fig.tight_layout()
  fig.savefig(path, dpi=110)


def run_listening(corpus, scorer, args, log):
  res = listening.evaluate(corpus, scorer, args.work_dir, repeats=args.listening_repeats,
                           talk_hours=args.talk_hours, seed=args.listening_seed, log=log,
                           split=args.listening_split)
  res["scorer"] = scorer.name
  os.makedirs(args.docs, exist_ok=True)
  stem = "model_listening" + ("" if args.listening_split == "test" else "_" + args.listening_split)
  with open(os.path.join(args.docs, stem + ".json"), "w") as f:
    json.dump(res, f, indent=1)
  lines = listening_report(res, scorer.name)
  with open(os.path.join(args.docs, stem + ".md"), "w") as f:
    f.write("\n".join(lines) + "\n")
  listening_plot(res, os.path.join(args.docs, stem + "_det.png"))
  print("\n".join(lines))


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("data_dir")
  ap.add_argument("work_dir")
  ap.add_argument("model")
  ap.add_argument("--docs", default=os.path.join(REPO, "docs"))
  ap.add_argument("--cli", default=None,
                  help="quelt-wake-word binary (default: the newest under build/)")
  ap.add_argument("--negative-limit-hours", type=float, default=None,
                  help="score only this much negative audio (quick runs)")
  ap.add_argument("--positive-limit", type=int, default=None,
                  help="score only this many synthetic positives (quick runs)")
  ap.add_argument("--listening-only", action="store_true",
                  help="only the listening condition (needs no prepared synthetic clips)")
  ap.add_argument("--listening-repeats", type=int, default=4,
                  help="times each held-out wake-word clip is placed in the listening streams")
  ap.add_argument("--talk-hours", type=float, default=5.0,
                  help="hours of the held-out talk stream (one session)")
  ap.add_argument("--listening-seed", type=int, default=1717,
                  help="seed of the listening streams' layout (another seed, another room)")
  ap.add_argument("--listening-split", choices=("test", "val"), default="test",
                  help="people of the listening streams: val to choose on, test to report "
                       "(val writes model_listening_val.*)")
  ap.add_argument("--card", action="store_true",
                  help="also write the model card MODEL.md and MODEL.json beside the artefact "
                       "from the figures in --docs (a custom phrase's)")
  args = ap.parse_args()
  t0 = time.time()
  log = lambda m: print(f"[{time.time() - t0:7.1f}s] {m}", flush=True)
  corpus = data.load_corpus(args.data_dir, args.work_dir, require_synth=not args.listening_only)

  scorer = engine.make_scorer(args.model, args.cli, REPO, args.work_dir)
  log(f"scoring with the {scorer.name} ({scorer.cli})")
  if args.listening_only:
    run_listening(corpus, scorer, args, log)
  else:
    held_out(corpus, scorer, args, log)
    run_listening(corpus, scorer, args, log)
  if args.card:
    c = card.write(args.model, args.work_dir, args.docs, corpus.phrase.text)
    stem = os.path.splitext(args.model)[0]
    log(f"[evaluate] model card {stem}.md")
    if not c["usable"]:
      print(f"WARNING: {args.model} is not usable: " + "; ".join(c["problems"]),
            file=sys.stderr, flush=True)


def held_out(corpus, scorer, args, log):
  """The held-out positives at 10 dB and the long negative streams, swept over thresholds."""
  pos = evalsets.positive_streams(corpus, limit=args.positive_limit)
  real_pos = evalsets.positive_streams(corpus, real=True)
  neg = evalsets.negative_streams(corpus)
  if args.negative_limit_hours:
    budget, kept = args.negative_limit_hours * 3600 * 16000, []
    for name, a in neg:
      if budget <= 0:
        break
      kept.append((name, a[: int(budget)]))
      budget -= len(a)
    neg = kept
  log(f"{len(pos)} synthetic and {len(real_pos)} real held-out wake words; "
      f"{sum(len(a) for _, a in neg) / 16000 / 3600:.2f} h of held-out negative audio")
  pos_scores = score_all(scorer, [p[0] for p in pos], log)
  real_scores = score_all(scorer, [p[0] for p in real_pos], log)
  neg_scores = score_all(scorer, [a for _, a in neg], log)

  grid = metrics.threshold_grid()
  rows, hours = metrics.sweep(pos_scores, [(p[1], p[2]) for p in pos], neg_scores, grid)
  default = [r for r in rows if abs(r["threshold"] - np.float32(0.9)) < 1e-7][0]
  if real_pos:
    real_rows, _ = metrics.sweep(real_scores, [(p[1], p[2]) for p in real_pos], neg_scores,
                                 grid)
    real_default = [r for r in real_rows if abs(r["threshold"] - np.float32(0.9)) < 1e-7][0]
  else:  # a phrase no real recording of the data folder says
    real_rows, real_default = [], None
  per_stream = {name: len(metrics.detections(s, 0.9, 100)) for (name, _), s in zip(neg, neg_scores)}
  # Real recordings as short sessions of their own, fed as the command-line tool feeds them.
  alone = {}
  for split, label in (("test", "held-out real speaker"), ("train", "training speaker")):
    recs = evalsets.recordings_alone(corpus, split)
    if not recs:
      continue
    counts = [len(metrics.detections(s, 0.9, 100))
              for s in score_all(scorer, [a for a, _ in recs], log)]
    alone[label] = {"recordings": len(counts), "detected": sum(c >= 1 for c in counts),
                    "more_than_once": sum(c > 1 for c in counts)}

  os.makedirs(args.docs, exist_ok=True)
  result = {"scorer": scorer.name, "negative_hours": hours, "n_positive": len(pos),
            "n_real_positive": len(real_pos), "default": default, "real_default": real_default,
            "at_fa": {str(x): metrics.frr_at_fa(rows, x) for x in (0.1, 0.5, 1.0)},
            "real_at_fa": {str(x): metrics.frr_at_fa(real_rows, x) if real_rows else None
                           for x in (0.1, 0.5, 1.0)},
            "false_accepts_per_stream_at_default": per_stream,
            "real_recordings_alone_at_default": alone, "sweep": rows}
  with open(os.path.join(args.docs, "model_eval.json"), "w") as f:
    json.dump(result, f, indent=1)
  lines = [f"Scored with the {scorer.name}; {hours:.2f} h of held-out negative audio; "
           f"{len(pos)} held-out synthetic wake words and {len(real_pos)} from the held-out "
           "real speaker, each mixed with held-out noise at 10 dB SNR.", "",
           "| Operating point | Threshold | False rejects | False accepts / h | "
           "Exactly one detection |", "|---|---|---|---|---|"]
  for x in (0.1, 0.5, 1.0):
    lines.append(fmt_row(f"<= {x} FA/h (synthetic voices)", metrics.frr_at_fa(rows, x)))
  lines.append(fmt_row("default 0.9 (synthetic voices)", default))
  if real_rows:
    for x in (0.1, 0.5, 1.0):
      lines.append(fmt_row(f"<= {x} FA/h (real speaker)", metrics.frr_at_fa(real_rows, x)))
    lines.append(fmt_row("default 0.9 (real speaker)", real_default))
  if alone:
    lines += ["", "Real recordings fed alone at the default threshold, each a session of its "
              "own with 1 s of silence before and after: " + "; ".join(
                  f"{label} {a['detected']} of {a['recordings']} detected "
                  f"({a['more_than_once']} more than once)" for label, a in alone.items()) +
              " (the training speaker's recordings were heard in training)."]
  lines += ["", "False accepts at the default threshold, per negative stream: " +
            ", ".join(f"{k} {v}" for k, v in per_stream.items())]
  with open(os.path.join(args.docs, "model_eval.md"), "w") as f:
    f.write("\n".join(lines) + "\n")
  det_plot(rows, real_rows, os.path.join(args.docs, "model_det.png"),
           f"DET: wake word \"{corpus.phrase.text}\", held-out data")
  print("\n".join(lines))


if __name__ == "__main__":
  main()
