"""File: splice.py -- the wake word in real people's voices, joined from their own phones.

The real wake-word recordings come from two people, so real voices are otherwise heard only
saying something else, and a network learns that synthetic voices say the wake word. Every
speaker of the read speech has said most pieces of it, though: "come" holds K AH M, "you"
holds Y UW, "after" holds T ER. So each speaker's phone segments (phones.py) are joined into
"computer" in that speaker's voice, and, with the same joins, into look-alike words and
other phrases, so that a join itself never signals the wake word.

A word is a chain of phone runs from one speaker. Two runs are cut inside a phone that both
hold (in a stop's closure, which is silent, or the middle of any other phone, where the
sound is steadiest) or, dearer, at a phone boundary. Among the chains with the fewest and
cheapest cuts one is drawn, and for each cut the run whose spectrum meets the previous one
best (of up to 30 drawn).
"""

import collections

import numpy as np

HOP = 160                 # samples per 10 ms frame of the alignment
MAX_PIECES = 5
MAX_RUN = 10              # phones in one run
WAKE_WORD = "K AH M P Y UW T ER"
LOOK_ALIKES = [
    "K AH M P Y UW T", "K AH M Y UW T ER", "K AH M P UH T HH ER", "K AH M P L IY T HH ER",
    "K AH M P EH T IH T ER", "K AH M P Y UW T IH NG", "K Y UW T ER", "P Y UW T ER",
    "K AH M Y UW T", "K AH M T UW HH ER", "K AA P T ER", "K AH M P Y UW T IH D",
    "K AH M P AH T ER", "K AA M P AH T ER"]
STOPS = {"P", "T", "K", "B", "D", "G", "CH", "JH"}
VOWELS = {"AA", "AE", "AH", "AO", "AW", "AY", "EH", "ER", "EY", "IH", "IY", "OW", "OY", "UH",
          "UW"}
BOUNDARY_CUT = 1.2        # cost of a cut at a phone boundary; a cut inside a phone costs less
PIECE_COST = 0.5
# Words per speaker: the audiobook readers have hours of speech, so many different chains.
WORDS_PER_SPEAKER = {"mini_librispeech": 60, "speechocean762": 12}


def inner_cut_cost(phone):
  return 0.1 if phone in STOPS else 0.4 if phone in VOWELS else 0.3


def cut_sample(seg, j):
  """Where phone j of an aligned utterance is cut: in a stop's closure, else its middle."""
  s, e = seg["start"][j], seg["end"][j] + 1
  return int((s + (e - s) * (0.3 if seg["phones"][j] in STOPS else 0.5)) * HOP)


def runs_of(segs):
  """Phone run -> its occurrences (utterance, first phone, end) in one speaker's speech.
  A pause longer than 20 ms ends a run."""
  runs = collections.defaultdict(list)
  for u, seg in enumerate(segs):
    start, end, phones = seg["start"], seg["end"], seg["phones"]
    for j in range(len(phones)):
      for k in range(j + 1, min(len(phones), j + MAX_RUN) + 1):
        if k - 1 > j and start[k - 1] - end[k - 2] > 2:
          break
        runs[tuple(phones[j:k])].append((u, j, k))
  return runs


def chains(target, runs):
  """Every way to say target with at most MAX_PIECES runs, cheapest first, as (cost,
  [(first, last phone)]); the next run starts on the last phone (a cut inside it) or on the
  one after (a cut at the boundary)."""
  m, out = len(target), []

  def extend(s, pieces, cost):
    if len(pieces) >= MAX_PIECES:
      return
    for e in range(s, m):
      if tuple(target[s:e + 1]) not in runs:
        break
      p = pieces + [(s, e)]
      if e == m - 1:
        out.append((cost + PIECE_COST * len(p), p))
        continue
      if e > s:
        extend(e, p, cost + inner_cut_cost(target[e]))
      extend(e + 1, p, cost + BOUNDARY_CUT)

  extend(0, [], 0.0)
  return sorted(out, key=lambda t: t[0])


def band_energies(x):
  """Log energy in 16 bands of a 20 ms piece: what two sides of a cut should share."""
  s = np.abs(np.fft.rfft(x * np.hanning(len(x)))) ** 2
  return np.log10(np.array([b.sum() for b in np.array_split(s[2:], 16)]) + 1e-3)


class Speaker:
  """One speaker's aligned utterances, each scaled to unit RMS."""

  def __init__(self, segs, audio, index):
    self.segs = segs
    self.runs = runs_of(segs)
    self.audio = []
    for seg in segs:
      e = index[seg["i"]]
      x = np.asarray(audio[e["start"]: e["start"] + e["length"]], np.float64)
      self.audio.append(x / (np.sqrt(np.mean(x * x)) + 1e-9))

  def render(self, target, pieces, rng):
    """Joins the runs of one chain; None if a run is too short to cut."""
    out, prev_end = None, None
    for n, (p, q) in enumerate(pieces):
      occ = self.runs[tuple(target[p:q + 1])]
      scored = []
      for i in rng.choice(len(occ), min(len(occ), 30), replace=False):
        u, j, k = occ[i]
        seg, x = self.segs[u], self.audio[u]
        inner_before = n > 0 and p == pieces[n - 1][1]
        inner_after = n < len(pieces) - 1 and pieces[n + 1][0] == q
        s = cut_sample(seg, j) if inner_before else seg["start"][j] * HOP
        e = cut_sample(seg, k - 1) if inner_after else (seg["end"][k - 1] + 1) * HOP
        e = min(len(x), e)
        if e - s < 2 * HOP:
          continue
        cost = 0.0 if prev_end is None else np.sum((band_energies(x[s:s + 2 * HOP]) -
                                                    prev_end) ** 2)
        scored.append((cost, x[s:e]))
      if not scored:
        return None
      scored.sort(key=lambda t: t[0])
      piece = scored[rng.integers(min(3, len(scored)))][1]
      if out is None:
        out = piece
      else:  # match the level across the cut, then a 10 ms cross-fade
        g = np.sqrt(np.mean(out[-2 * HOP:] ** 2) / (np.mean(piece[:2 * HOP] ** 2) + 1e-12))
        piece = piece * np.clip(g, 0.5, 2.0)
        w = min(HOP, len(piece) // 2, len(out) // 2)
        f = np.linspace(0, 1, w)
        out = np.concatenate([out[:-w], out[-w:] * (1 - f) + piece[:w] * f, piece[w:]])
      prev_end = band_energies(out[-2 * HOP:])
    out = np.concatenate([np.zeros(2 * HOP), out, np.zeros(2 * HOP)])
    return np.round(out / np.max(np.abs(out)) * 0.7 * 32767).astype(np.int16)


def splice_all(audio, index, aligned, words, seed=99, log=print):
  """The spliced clips of every aligned speaker: (int16 audio, index entries with kind
  "word" or "conf", speaker, source, split, target, pieces, start, length)."""
  rng = np.random.default_rng(seed)
  by_speaker = collections.defaultdict(list)
  for seg in aligned:
    by_speaker[index[seg["i"]]["speaker"]].append(seg)
  texts = [index[seg["i"]]["text"].lower().split() for seg in aligned]
  chunks, entries, pos = [], [], 0
  failed = collections.Counter()
  for name, segs in sorted(by_speaker.items()):
    first = index[segs[0]["i"]]
    speaker = Speaker(segs, audio, index)
    per = WORDS_PER_SPEAKER[first["source"]]
    jobs = [("word", WAKE_WORD.split())] * per
    jobs += [("conf", LOOK_ALIKES[rng.integers(len(LOOK_ALIKES))].split())
             for _ in range(per // 2)]
    for _ in range(per):  # a word or two of someone else's sentence
      text = texts[rng.integers(len(texts))]
      s = rng.integers(len(text))
      phones = [ph for w in text[s:s + rng.integers(1, 3)] if w in words for ph in words[w]]
      if 4 <= len(phones) <= 12 and sum(kind == "conf" for kind, _ in jobs) < per:
        jobs.append(("conf", phones))
    for kind, target in jobs:
      options = chains(target, speaker.runs)
      if not options:
        failed[kind] += 1
        continue
      best = [c for c in options if c[0] <= options[0][0] + 0.3]
      _, pieces = best[rng.integers(len(best))]
      pcm = speaker.render(target, pieces, rng)
      if pcm is None:
        failed[kind] += 1
        continue
      chunks.append(pcm)
      entries.append({"kind": kind, "speaker": name, "source": first["source"],
                      "split": first["split"], "target": " ".join(target),
                      "pieces": len(pieces), "start": pos, "length": len(pcm)})
      pos += len(pcm)
  log(f"spliced {len(entries)} clips of {len(by_speaker)} speakers; "
      f"no chain for {dict(failed)}")
  return np.concatenate(chunks), entries
