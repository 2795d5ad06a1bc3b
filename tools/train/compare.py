#!/usr/bin/python3
"""File: compare.py -- models side by side in the listening condition, at matched false accepts.

Usage: compare.py LABEL=DIR [LABEL=DIR ...] [--fa 0.5 1 2]
Each DIR holds an evaluation's model_listening.json (`evaluate.py --docs DIR`; `--listening-split
val` writes model_listening_val.json, which is read when the other is absent). Prints one
Markdown table: per room and voice family, each model's false rejects at the default threshold
and at each false-accept rate given (the best threshold whose pooled false accepts, stream and
talk, stay within it). Compare only evaluations of the same streams: the same work folder,
split and layout seed (the table's header says which streams each one scored).

A model replaces another only when it misses fewer words at matched false accepts; a few
false accepts in hours of talk decide where the threshold sits, so read more than one rate.
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from quelt_train import listening  # noqa: E402

ROOMS = (("room", "room"), ("quiet", "quiet room"))
DEFAULT = 0.9


def load(directory):
  for name in ("model_listening.json", "model_listening_val.json"):
    path = os.path.join(directory, name)
    if os.path.exists(path):
      with open(path) as f:
        return json.load(f)
  raise SystemExit(f"compare.py: no model_listening.json in {directory}")


def at_default(rows):
  return min(rows, key=lambda r: abs(r["threshold"] - DEFAULT))


def cell(row, family):
  if row is None:
    return "not reached"
  return f"{100 * row['families'][family]['frr']:.1f} %"


def table(results, fa_points):
  """results: [(label, evaluation)]. The lines of one Markdown table."""
  labels = [label for label, _ in results]
  heads = ["at 0.9"] + [f"<= {x:g} FA/h" for x in fa_points]
  lines = ["| Room | Voices | " + " | ".join(f"{h}: {l}" for h in heads for l in labels) + " |",
           "|---|---|" + "---|" * (len(heads) * len(labels))]
  families = sorted({f for _, res in results for f in res["room"][0]["families"]} - {"all"})
  for key, room in ROOMS:
    for fam in families + ["all"]:
      cells = []
      for point in [None] + list(fa_points):
        for _, res in results:
          rows = res[key]
          if fam not in rows[0]["families"]:
            cells.append("")
          elif point is None:
            cells.append(cell(at_default(rows), fam))
          else:
            cells.append(cell(listening.frr_at(rows, fam, point), fam))
      lines.append(f"| {room} | {fam} | " + " | ".join(cells) + " |")
  return lines


def main():
  ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
  ap.add_argument("evaluations", nargs="+", help="LABEL=DIR")
  ap.add_argument("--fa", type=float, nargs="+", default=[0.5, 1.0, 2.0])
  args = ap.parse_args()
  results = []
  for item in args.evaluations:
    label, sep, directory = item.partition("=")
    if not sep:
      raise SystemExit(f"compare.py: {item!r} is not LABEL=DIR")
    results.append((label, load(directory)))
  for label, res in results:
    i = res.get("info", {})
    print(f"- {label}: {i.get('split')} people, layout seed {i.get('seed')}, {i.get('words')} "
          f"words, {i.get('talk_hours', 0):.2f} h of talk, voices {i.get('voices')}")
  print()
  print("\n".join(table(results, args.fa)))


if __name__ == "__main__":
  main()
