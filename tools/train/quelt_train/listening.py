"""File: listening.py -- the listening condition: one engine session that hears for a long time.

A device is never reset between wake words: when a word comes, the 2 s pool and the network's
receptive field hold whatever the room held before. So the main figure is taken on long
streams, each scored by one session from its first sample to its last:
- the room: held-out wake words, one every 8 to 20 s, over a bed of held-out real noise 10 dB
  under the words, with held-out talk of other people (and held-out household noises and
  recordings that woke another detector) between the words;
- the quiet room: the same words at the same places over held-out room noise alone, 30 dB
  under the words, with nothing between them;
- the talk: at least five hours of held-out real speech, utterance after utterance, in a
  quiet room and again over the noise bed, with no wake word at all.
A word is found when a detection falls between its first frame and 1 s after its last; every
other detection (a second one for the same word included) is a false accept, counted per
hour of the stream outside the words' windows. Levels are set on each clip's active part
(its 10 ms blocks within 30 dB of the loudest), so the 10 dB holds for every word.
"""

import os

import numpy as np
import soundfile as sf

from . import augment, metrics
from . import frontend as fe

SR = fe.SAMPLE_RATE
WORD_GAP_S = (8.0, 20.0)   # from one word's start to the next
TAIL_S = 20.0              # the stream goes on after the last word
REF_RMS = 10 ** (-26 / 20)  # the words' level (active RMS, full scale 1)
ROOM_SNR_DB = 10.0
QUIET_SNR_DB = 30.0
TALK_DB = (-6.0, 0.0)      # other people's talk relative to the words
EVENT_DB = (-10.0, 0.0)
ACCEPT_AFTER = metrics.ACCEPT_AFTER
FAMILIES = {"neural_word": "neural voices", "real_word": "real contributor",
            "real_lead": "real contributor", "user_word": "your recordings",
            "word": "synthetic voices", "lead": "synthetic voices"}


def active_rms(x):
  """RMS over the 10 ms blocks within 30 dB of the loudest block (the clip's speech)."""
  x = np.asarray(x, np.float64)
  n = len(x) // 160
  if n == 0:
    return augment.rms(x)
  e = (x[: n * 160].reshape(n, 160) ** 2).mean(axis=1)
  return float(np.sqrt(e[e >= e.max() * 1e-3].mean()) + 1e-12)


def at_level(clip, level):
  return (np.asarray(clip, np.float32) * np.float32(level / active_rms(clip))).astype(np.float32)


def held_out_words(corpus, repeats=4, synthetic_limit=200, seed=17, split="test"):
  """[(clip, family, name)]: every wake-word clip of the split's people `repeats` times, each
  pass in a new order; the split's prepared synthetic voices (when the work folder has them)
  once, at most synthetic_limit of them, spread through the list."""
  rng = np.random.default_rng(seed)
  items = [(clip, FAMILIES[role], e.get("speaker") or e.get("voice", ""))
           for role in ("neural_word", "real_word", "real_lead", "user_word")
           for clip, e in corpus.entries(role, split)]
  out = []
  for _ in range(repeats):
    out += [items[i] for i in rng.permutation(len(items))]
  synth = [(clip, FAMILIES[role], e.get("voice", "")) for role in ("word", "lead")
           for clip, e in corpus.entries(role, split)]
  if synth:
    keep = rng.permutation(len(synth))[:synthetic_limit]
    base = len(out)
    for j, i in enumerate(keep):  # spread through the stream
      out.insert(int(j * base / len(keep)) + j, synth[i])
  return out


def layout(words, rng):
  """(word start samples, stream length): one word every 8 to 20 s, the first after 8 to 20 s
  of the room, and TAIL_S of it after the last."""
  starts, t = [], 0
  for _ in words:
    t += int(rng.uniform(*WORD_GAP_S) * SR)
    starts.append(t)
  return starts, (starts[-1] if starts else 0) + int(TAIL_S * SR)


def noise_bed(n, clips, rng, segment_s=(20.0, 60.0), crossfade=800):
  """n samples of unit-RMS noise: segments cut from the recordings at random offsets (looped
  when shorter), joined by power-preserving crossfades."""
  out = np.zeros(n, np.float32)
  up = np.sin(0.5 * np.pi * (np.arange(crossfade) + 0.5) / crossfade).astype(np.float32)
  pos = 0
  while pos < n:
    length = min(n - pos + crossfade, int(rng.uniform(*segment_s) * SR))
    seg = augment._random_slice(clips[rng.integers(len(clips))], length, rng).astype(np.float32)
    seg = seg / np.float32(augment.rms(seg))
    k = min(crossfade, length)
    seg[:k] *= up[:k]
    seg[-k:] *= up[:k][::-1]
    m = min(length, n - pos)
    out[pos: pos + m] += seg[:m]
    pos += length - crossfade
  return out


def fill_talk(fg, pool, start, stop, rng, level_db=TALK_DB):
  """Whole utterances from pool, one after another with 0.15 to 1.2 s pauses, inside
  [start, stop); an utterance that would run past stop is not cut but replaced by a shorter
  one, or the talk ends."""
  pos = start
  while pos < stop:
    for _ in range(4):
      clip = pool[rng.integers(len(pool))]
      if pos + len(clip) <= stop:
        break
    else:
      return
    fg[pos: pos + len(clip)] += at_level(clip, REF_RMS * augment.db(rng.uniform(*level_db)))
    pos += len(clip) + int(rng.uniform(0.15, 1.2) * SR)


def render(words, starts, n, rng, bed_clips, snr_db, talk=None, events=None, p_talk=0.8,
           p_event=0.4):
  """(audio float32 [n], word spans [(first sample, end sample)]): the words at REF_RMS at
  their starts; between them talk (share p_talk of the gaps) and an event (share p_event);
  under everything the bed at snr_db below the words."""
  fg = np.zeros(n, np.float32)
  spans = []
  for (clip, _, _), s in zip(words, starts):
    fg[s: s + len(clip)] += at_level(clip, REF_RMS)
    spans.append((s, s + len(clip)))
  gap_start = 0
  for a, b in spans + [(n, n)]:
    lo, hi = gap_start, a - int(rng.uniform(0.3, 1.0) * SR)
    if talk and hi - lo > SR and rng.random() < p_talk:
      fill_talk(fg, talk, lo, hi, rng)
    if events and hi - lo > 3 * SR and rng.random() < p_event:
      ev = events[rng.integers(len(events))][: hi - lo]
      at = int(rng.integers(lo, hi - len(ev) + 1))
      if len(ev) >= 160:
        fg[at: at + len(ev)] += at_level(ev, REF_RMS * augment.db(rng.uniform(*EVENT_DB)))
    gap_start = b + int(rng.uniform(0.1, 0.8) * SR)
  x = fg + noise_bed(n, bed_clips, rng) * np.float32(REF_RMS * augment.db(-snr_db))
  return np.clip(x, -1, 1).astype(np.float32), spans


def word_windows(spans):
  """Frame windows [first, last] in which a detection answers each word: from the first frame
  that holds the word's first sample to 1 s after the frame that completes the word."""
  out = []
  for s, e in spans:
    first = max(0, -(-(s - fe.FRAME_LENGTH) // fe.HOP_LENGTH))
    last = max(first, (e - fe.FRAME_LENGTH) // fe.HOP_LENGTH) + ACCEPT_AFTER
    out.append((first, last))
  return out


def count(scores, windows, families, threshold=0.9, cooldown=100):
  """Outcome of one never-reset stream at one operating point: per family (and "all") the
  words, false-reject rate and share detected exactly once; the false accepts (detections
  outside every window, and any after a word's first) and the hours outside the windows."""
  det = np.asarray(metrics.detections(scores, threshold, cooldown), np.int64)
  first = np.asarray([w[0] for w in windows], np.int64)
  last = np.asarray([w[1] for w in windows], np.int64)
  hits = np.zeros(len(windows), np.int64)
  if len(windows) and len(det):
    k = np.searchsorted(first, det, side="right") - 1
    inside = (k >= 0) & (det <= last[np.maximum(k, 0)])
    np.add.at(hits, k[inside], 1)
  found = hits >= 1
  fa = int(len(det) - found.sum())
  covered = int(np.sum(np.minimum(last, len(scores) - 1) - first + 1)) if len(windows) else 0
  hours = max(0, len(scores) - covered) * metrics.HOP_SECONDS / 3600
  fams = {}
  for name in sorted(set(families)) + ["all"]:
    sel = np.asarray([name in ("all", f) for f in families], bool)
    m = int(sel.sum())
    fams[name] = {"words": m, "frr": float(1 - found[sel].mean()) if m else None,
                  "exactly_one": float((hits[sel] == 1).mean()) if m else None}
  return {"threshold": float(threshold), "families": fams, "fa_count": fa,
          "hours_outside": hours, "fa_per_hour": fa / hours if hours else 0.0}


def long_talk_chunks(corpus, hours, rng, quiet_clips, room_clips, chunk_minutes=10.0,
                     split="test"):
  """Chunks (float32 arrays) of one long stream of held-out real speech with no wake word:
  every held-out utterance in a random order, pass after pass (the odd passes in a quiet room,
  the even ones over the noise bed at ROOM_SNR_DB), the held-out voices' other phrases and the
  false activations mixed in, until `hours` are reached."""
  speech = corpus.clips("speech", split)
  other = corpus.clips("neural_speech", split) + corpus.clips("false_activation", split)
  total, limit, p = 0, int(hours * 3600 * SR), 0
  while total < limit:
    bed, snr = (quiet_clips, QUIET_SNR_DB) if p % 2 == 0 else (room_clips, ROOM_SNR_DB)
    order = [("s", i) for i in range(len(speech))] + [("o", i) for i in range(len(other))]
    order = [order[i] for i in rng.permutation(len(order))]
    cur, cur_len = [], 0
    for j, (kind, i) in enumerate(order):
      clip = speech[i] if kind == "s" else other[i]
      cur += [at_level(clip, REF_RMS * augment.db(rng.uniform(*TALK_DB))),
              np.zeros(int(rng.uniform(0.2, 1.2) * SR), np.float32)]
      cur_len += len(cur[-2]) + len(cur[-1])
      if cur_len >= chunk_minutes * 60 * SR or j == len(order) - 1:
        fg = np.concatenate(cur)
        bedx = noise_bed(len(fg), bed, rng) * np.float32(REF_RMS * augment.db(-snr))
        yield np.clip(fg + bedx, -1, 1).astype(np.float32)
        total += len(fg)
        cur, cur_len = [], 0
        if total >= limit:
          return
    p += 1


def write_stream(path, chunks):
  """Writes chunks one after another to a float WAV file; returns its length in samples."""
  n = 0
  with sf.SoundFile(path, "w", SR, 1, subtype="FLOAT") as f:
    for c in chunks:
      f.write(c)
      n += len(c)
  return n


def threshold_grid():
  """The evaluation's thresholds and lower ones (down to a logit of -10): a model that
  scores words low in this condition still shows its whole curve."""
  low = (1 / (1 + np.exp(-np.linspace(-10, -2.2, 40)))).astype(np.float32)
  return np.unique(np.concatenate([low, metrics.threshold_grid()]))


def sweep(scores, windows, families, neg_scores, thresholds, cooldown=100):
  """Per threshold: the stream's outcome, and its false accepts pooled with those of the
  long talk stream (the operating points are read on the pooled rate)."""
  neg_hours = len(neg_scores) * metrics.HOP_SECONDS / 3600 if neg_scores is not None else 0.0
  rows = []
  for th in thresholds:
    r = count(scores, windows, families, th, cooldown)
    neg_fa = len(metrics.detections(neg_scores, th, cooldown)) if neg_hours else 0
    r["talk_fa_count"] = neg_fa
    r["talk_fa_per_hour"] = neg_fa / neg_hours if neg_hours else None
    r["pooled_fa_per_hour"] = (r["fa_count"] + neg_fa) / (r["hours_outside"] + neg_hours)
    rows.append(r)
  return rows


def frr_at(rows, family, fa_target):
  """The row of lowest false-reject rate for family with pooled FA/h <= fa_target."""
  ok = [r for r in rows if r["pooled_fa_per_hour"] <= fa_target
        and r["families"].get(family, {}).get("frr") is not None]
  return min(ok, key=lambda r: (r["families"][family]["frr"], -r["threshold"])) if ok else None


def score_profile(scores, windows, families):
  """Where the scores sit: per family the 10th, 50th and 90th percentile of each word's
  highest score in its window, and the 50th, 99th and 99.9th percentile of the frames
  outside every window (what the engine says of the room)."""
  peaks = np.asarray([np.max(scores[a: b + 1]) for a, b in windows], np.float64)
  outside = np.ones(len(scores), bool)
  for a, b in windows:
    outside[a: b + 1] = False
  q = lambda x, ps: [float(v) for v in np.percentile(x, ps)] if len(x) else None
  fam = np.asarray(families)
  return {"word_peak_p10_p50_p90": {f: q(peaks[fam == f], [10, 50, 90])
                                    for f in sorted(set(families))},
          "room_p50_p99_p999": q(np.asarray(scores)[outside], [50, 99, 99.9])}


def alone_after_reset(corpus, scorer, threshold=np.float32(0.9), cooldown=100, split="test"):
  """The secondary figure: each held-out clip once, a session of its own right after a
  reset, between 1 s of digital silence before and after. Per family: clips, detected."""
  items = held_out_words(corpus, repeats=1, split=split)
  pad = np.zeros(SR, np.float32)
  streams = [np.concatenate([pad, at_level(c, REF_RMS), pad]) for c, _, _ in items]
  out = {}
  for (_, fam, _), sc in zip(items, scorer.scores_many(streams)):
    o = out.setdefault(fam, {"clips": 0, "detected": 0})
    o["clips"] += 1
    o["detected"] += bool(metrics.detections(sc, threshold, cooldown))
  return out


def after_room_curve(corpus, scorer, beds, seconds=(0.0, 0.5, 1.0, 2.0, 3.0, 5.0, 10.0),
                     split="test", seed=99, threshold=np.float32(0.9), cooldown=100):
  """How the score depends on what the session heard before the word: each clip of the split
  once, right after a reset, after `t` seconds of a bed (and 1.5 s of it after the word), for
  every t and every bed. beds: {name: (clips, snr_db)}, clips None for digital silence.
  Returns {bed: {t: share of the clips detected}}. A model that does not lean on the
  warm-up's silence gives the same share for every t."""
  rng = np.random.default_rng(seed)
  items = held_out_words(corpus, repeats=1, split=split)
  out = {}
  for name, (clips, snr) in beds.items():
    streams = []
    for t in seconds:
      for c, _, _ in items:
        word = at_level(c, REF_RMS)
        n0, n1 = int(t * SR), int(1.5 * SR)
        x = np.concatenate([np.zeros(n0, np.float32), word, np.zeros(n1, np.float32)])
        if clips:
          x = x + noise_bed(len(x), clips, rng) * np.float32(REF_RMS * augment.db(-snr))
        streams.append(x)
    scores = scorer.scores_many(streams)
    k = len(items)
    out[name] = {str(t): float(np.mean([bool(metrics.detections(sc, threshold, cooldown))
                                        for sc in scores[i * k: (i + 1) * k]]))
                 for i, t in enumerate(seconds)}
  return out


def evaluate(corpus, scorer, tmp_dir, repeats=4, talk_hours=5.0, seed=1717, log=print,
             split="test"):
  """The three never-reset streams scored by the engine, one session each; returns the
  per-threshold rows of the room and the quiet room and a description of the streams.
  split="val" builds the same streams from the validation people, to choose on; noise has
  no validation share (it is not a person), so validation streams take the training noise."""
  rng = np.random.default_rng(seed)
  words = held_out_words(corpus, repeats, split=split)
  noise_split = split if corpus.clips("noise", split) else "train"
  starts, n = layout(words, rng)
  families = [f for _, f, _ in words]
  windows = word_windows([(s, s + len(c)) for (c, _, _), s in zip(words, starts)])
  room_clips = corpus.clips("noise", noise_split)
  quiet_clips = [c for c, e in corpus.entries("noise", noise_split)
                 if e.get("source") == "precise_bg_noise"] or room_clips
  talk = corpus.clips("speech", split) + corpus.clips("neural_speech", split)
  events = [c for role in ("room_noise", "false_activation")
            for c in corpus.clips(role, split) or corpus.clips(role, noise_split)]
  room, _ = render(words, starts, n, rng, room_clips, ROOM_SNR_DB, talk, events)
  quiet, _ = render(words, starts, n, rng, quiet_clips, QUIET_SNR_DB)
  log(f"listening streams: {len(words)} words, {n / SR / 3600:.2f} h each")
  room_scores = scorer.scores(room)
  del room
  quiet_scores = scorer.scores(quiet)
  del quiet
  path = os.path.join(tmp_dir, "listening_talk.wav")
  talk_n = write_stream(path, long_talk_chunks(corpus, talk_hours, rng, quiet_clips, room_clips,
                                               split=split))
  log(f"talk stream: {talk_n / SR / 3600:.2f} h")
  try:
    talk_scores = scorer.scores_files([path])[0]
  finally:
    os.remove(path)
  grid = threshold_grid()
  info = {"split": split, "seed": seed, "words": len(words), "stream_hours": n / SR / 3600,
          "talk_hours": talk_n / SR / 3600, "repeats": repeats,
          "voices": {f: len({nm for _, ff, nm in words if ff == f})
                     for f in sorted(set(families))},
          "clips": {f: len({id(c) for c, ff, _ in words if ff == f})
                    for f in sorted(set(families))}}
  return {"profile": {"room": score_profile(room_scores, windows, families),
                      "quiet": score_profile(quiet_scores, windows, families),
                      "talk_p50_p99_p999": [float(v) for v in
                                            np.percentile(talk_scores, [50, 99, 99.9])]},
          "alone_after_reset": alone_after_reset(corpus, scorer, split=split),
          "after_room": after_room_curve(corpus, scorer, {
              "digital silence": (None, 0.0), "quiet room": (quiet_clips, QUIET_SNR_DB),
              "noise bed 10 dB": (room_clips, ROOM_SNR_DB)}, split=split),
          "room": sweep(room_scores, windows, families, talk_scores, grid),
          "quiet": sweep(quiet_scores, windows, families, talk_scores, grid),
          "talk_detections_at_default": len(metrics.detections(talk_scores, np.float32(0.9), 100)),
          "info": info}
