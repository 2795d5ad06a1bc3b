"""File: card.py -- the model card of a custom wake phrase, written beside its artefact.

NAME.md and NAME.json beside NAME.qelt say what the model is for, how it did on held-out
voices, noise and talk (the evaluation's figures, the DET curve), which data and voices went
into it and which recipe made it. A model that cannot work says so in its first lines: a
phrase too short to tell from ordinary talk (one syllable, or fewer than MIN_PHONEMES
phonemes), or a model that misses more than MAX_FRR of the validation words at 1 false
accept per hour, is "not usable", whatever else the card shows.
"""

import json
import os
import shutil

from . import RECIPE_VERSION, listening, lookalikes

MIN_PHONEMES = 4
MIN_SYLLABLES = 2
MAX_FRR = 0.25
FA_POINT = 1.0


def phrase_problems(text, toks=None):
  """Why a phrase is too short to be a wake phrase, if it is ([] when it is not)."""
  if toks is None:
    try:
      toks = lookalikes.phonemise([text])[0]
    except (OSError, RuntimeError, ValueError):
      return []
  out = []
  n_syl = lookalikes.syllables(toks)
  if n_syl < MIN_SYLLABLES:
    out.append(f"the phrase \"{text}\" has {n_syl} syllable{'s' * (n_syl != 1)}; everyday "
               f"talk says one-syllable words all the time (use {MIN_SYLLABLES} or more)")
  if len(toks) < MIN_PHONEMES:
    out.append(f"the phrase \"{text}\" has only {len(toks)} phonemes (use {MIN_PHONEMES} or "
               "more)")
  return out


def validation_point(val):
  """The validation people's false rejects at FA_POINT false accepts per hour: the worse of
  the room and the quiet room, None when a room cannot get there."""
  worst = 0.0
  for key in ("room", "quiet"):
    row = listening.frr_at(val[key], "all", FA_POINT)
    if row is None:
      return None
    worst = max(worst, row["families"]["all"]["frr"])
  return worst


def model_problems(val):
  if val is None:
    return ["no validation figures: the listening condition on validation voices did not run"]
  frr = validation_point(val)
  if frr is None:
    return [f"no threshold reaches {FA_POINT:g} false accept per hour on the validation "
            "voices"]
  if frr > MAX_FRR:
    return [f"at {FA_POINT:g} false accept per hour it misses {100 * frr:.0f} % of the "
            f"validation words (more than {100 * MAX_FRR:.0f} %)"]
  return []


def _load(path):
  if os.path.exists(path):
    with open(path) as f:
      return json.load(f)
  return None


def voices_used(work_dir):
  """Synthetic voices and clips per engine and split, from the work folder's index."""
  index = _load(os.path.join(work_dir, "synth.json")) or []
  from . import data  # the split rules; imported here, data imports this package's modules
  out = {}
  for e in index:
    split = data.synth_split(e)
    o = out.setdefault(e["synth"], {}).setdefault(split, {"voices": set(), "clips": 0})
    o["voices"].add(e["voice"])
    o["clips"] += 1
  return {eng: {s: {"voices": len(v["voices"]), "clips": v["clips"]} for s, v in sp.items()}
          for eng, sp in out.items()}


def _pct(x):
  return "n/a" if x is None else f"{100 * x:.1f} %"


def build(phrase_text, work_dir, docs_dir, model_name, toks=None):
  """The card as (markdown lines, JSON dict)."""
  spec = _load(os.path.join(work_dir, "phrase.json")) or {"phrase": phrase_text}
  ev = _load(os.path.join(docs_dir, "model_eval.json"))
  test = _load(os.path.join(docs_dir, "model_listening.json"))
  val = _load(os.path.join(docs_dir, "model_listening_val.json"))
  problems = phrase_problems(phrase_text, toks) + model_problems(val)
  voices = voices_used(work_dir)
  card = {"wake_word": phrase_text, "model": model_name, "recipe_version": RECIPE_VERSION,
          "usable": not problems, "problems": problems, "voices": voices,
          "lookalike_negatives": len(spec.get("confusables") or []),
          "your_negatives": len(spec.get("negatives") or []),
          "your_recordings": spec.get("recordings"),
          "validation_frr_at_1_fa_per_hour": validation_point(val) if val else None}
  lines = []
  if problems:
    lines += [f"**Not usable: {'; '.join(problems)}.** The artefact was written, but do not "
              "deploy it as a wake word.", ""]
  lines += [f"# Wake word \"{phrase_text}\" ({model_name})", "",
            f"Made by the training recipe in tools/train, recipe version {RECIPE_VERSION}. "
            "Every figure below was scored by the engine itself (quelt-wake-word detect "
            "--scores) on voices, people and noise that training never heard.", ""]
  if ev:
    d = ev["default"]
    card["held_out"] = {"negative_hours": ev["negative_hours"], "positives": ev["n_positive"],
                        "default": {k: d[k] for k in ("frr", "fa_per_hour", "exactly_one")},
                        "at_fa": ev["at_fa"]}
    at1 = ev["at_fa"].get("1.0")
    lines += ["## Held-out voices, noise at 10 dB", "",
              f"{ev['n_positive']} held-out synthetic wake words, each in held-out noise at "
              f"10 dB SNR; false accepts over {ev['negative_hours']:.2f} h of held-out real "
              "and synthetic speech and noise.", "",
              "| Operating point | False rejects | False accepts / h |", "|---|---|---|",
              f"| default threshold 0.9 | {_pct(d['frr'])} | {d['fa_per_hour']:.2f} |",
              f"| at most 1 false accept / h | {_pct(at1['frr'])} | "
              f"{at1['fa_per_hour']:.2f} |" if at1 else
              "| at most 1 false accept / h | not reached | |", "",
              f"![DET curve]({model_name}_det.png)", ""]
  for title, res in (("Listening condition, held-out test voices", test),
                     ("Listening condition, validation voices (the operating point's choice)",
                      val)):
    if not res:
      continue
    key = "test" if res is test else "val"
    fig = {}
    people = ", ".join(f"{n} {fam}" for fam, n in sorted(res["info"].get("voices", {}).items()))
    lines += [f"## {title}", "",
              f"{res['info']['words']} wake words{f' of {people}' if people else ''}, one "
              f"every 8 to 20 s in {res['info']['stream_hours']:.2f} h "
              f"streams, each one session never reset; false accepts pooled with "
              f"{res['info']['talk_hours']:.2f} h of talk without the phrase.", "",
              "| Room | False rejects at 0.9 | False accepts / h at 0.9 | "
              "False rejects at <= 1 FA/h |", "|---|---|---|---|"]
    for room in ("room", "quiet"):
      d = [r for r in res[room] if abs(r["threshold"] - 0.9) < 1e-6][0]
      at1 = listening.frr_at(res[room], "all", FA_POINT)
      fig[room] = {"frr_default": d["families"]["all"]["frr"],
                   "fa_per_hour_default": d["pooled_fa_per_hour"],
                   "frr_at_1_fa_per_hour": at1["families"]["all"]["frr"] if at1 else None}
      lines.append(f"| {'room with talk, noise 10 dB under' if room == 'room' else 'quiet room'} "
                   f"| {_pct(fig[room]['frr_default'])} | {d['pooled_fa_per_hour']:.2f} | "
                   f"{_pct(fig[room]['frr_at_1_fa_per_hour']) if at1 else 'not reached'} |")
    card["listening_" + key] = fig
    lines.append("")
  lines += ["## What went in", "",
            f"- Wake phrase \"{phrase_text}\": word forms {spec.get('forms', [])}, lead-ins "
            f"{spec.get('lead_ins', [])}.",
            f"- Look-alike negatives said by the synthetic voices: "
            f"{card['lookalike_negatives']} (found by phoneme distance; "
            f"{card['your_negatives']} of your own).",
            "- Your recordings: " + (f"{spec['recordings']} (split by file into training and "
                                     "validation)." if spec.get("recordings") else "none."),
            "- Synthetic voices (engine: voices / clips in train, val, test): " + "; ".join(
                f"{eng} " + ", ".join(f"{s} {v[s]['voices']}/{v[s]['clips']}"
                                      for s in ("train", "val", "test") if s in v)
                for eng, v in sorted(voices.items())) + ".",
            "- Real speech, noise and the neural voices' phrases of the data folder (when "
            "present) as negatives, split by person; its recordings of \"computer\" are "
            "negatives for any other phrase. Sources and licences: the data folder's README "
            "and docs/MODEL.md.", ""]
  return lines, card


def write(model_path, work_dir, docs_dir, phrase_text, toks=None):
  """Writes NAME.md and NAME.json beside NAME.qelt (and the DET curve as NAME_det.png);
  returns the card's dict."""
  stem = os.path.splitext(os.path.abspath(model_path))[0]
  name = os.path.basename(stem)
  lines, card = build(phrase_text, work_dir, docs_dir, name, toks)
  det = os.path.join(docs_dir, "model_det.png")
  if os.path.exists(det):
    shutil.copyfile(det, stem + "_det.png")
  with open(stem + ".md", "w") as f:
    f.write("\n".join(lines) + "\n")
  with open(stem + ".json", "w") as f:
    json.dump(card, f, indent=1)
  return card
