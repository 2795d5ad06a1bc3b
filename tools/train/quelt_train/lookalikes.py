"""File: lookalikes.py -- negatives that sound close to the wake phrase, found by phoneme distance.

A model learns to refuse what it hears refused, so the synthetic voices also say words that
nearly are the phrase. They are found by sound, not spelling: espeak-ng gives the phonemes
(IPA) of every word of a word list (Debian's wamerican, /usr/share/dict/words) in one call,
cached in the work folder, and a weighted edit distance over phonemes (a vowel for another
vowel, or a voiced consonant for its unvoiced twin, costs half) ranks them. The list holds:
- words close to the whole phrase ("commuter", "compute" for "computer");
- for a phrase of several words, its parts alone ("hey", "nova") and the phrase with a word
  swapped for a close one ("hey navy", "hey lava");
- the phrase inside longer words, by sound first ("supercomputer", "supernova");
- the phrase's sounds split over two words ("hen ova" for "hey nova");
- a few look-alikes followed by a command, as the phrase would be ("nova, turn on the lights").
Nothing that sounds exactly like the phrase (its word forms, homophones) is ever a negative,
nor what sounds within half a phoneme of it ("he nova"), nor a word that begins with its
sounds ("hey novas"), nor a second text with the same sounds ("hah nova" after "ha nova").
The first two hold in every accent the voices speak, not only in the one the list is ranked
in: where the r is silent, "hey never" is "heɪ nɛvə" against "heɪ nəʊvə", one vowel away.
Everything is sorted and deterministic; the user's own list (--negatives FILE) is added.
(The CMU pronouncing dictionary, in Debian's pocketsphinx-en-us at
/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict, has no entry for a made-up name,
so espeak-ng, which phonemises any spelling, gives both sides of the comparison.)
"""

import hashlib
import json
import os
import re
import subprocess

import numpy as np

from . import synth

WORD_LIST = "/usr/share/dict/words"
VOICE = "en-us"
DIPHTHONGS = ("eɪ", "aɪ", "ɔɪ", "oʊ", "aʊ", "əʊ", "ɪə", "eə", "ʊə", "aɪə", "aʊə")
VOWELS = set("aeiouyæɐɑɒɔəɘɚɛɜɝɞɪɨʉʊʌʏøœɵᵻ")
STRESS = "ˈˌ"
# voiced and unvoiced twins, and the flap that American English makes of t and d
TWINS = [set(p) for p in ("pb", "td", "kg", "fv", "sz", "θð", "ʃʒ", "tɾ", "dɾ", "mn", "nŋ",
                          "ɹl", "ɹɚ")]
COMMAND = "turn on the lights"
# the closest a look-alike may sound to the phrase: more than one vowel swapped for another
MIN_DISTANCE = 0.75
# the accents the synthetic voices speak, in which a look-alike must stay as far from the
# phrase as in VOICE
ACCENTS = tuple(synth.ESPEAK_ACCENTS)


def tokens(ipa):
  """IPA text -> phoneme tokens: stress and spaces dropped, a diphthong one token, a length
  mark or diacritic joined to the sound before it."""
  ipa = re.sub(r"\([a-z-]+\)", "", ipa)  # espeak-ng's language-switch tags
  s = "".join(c for c in ipa if c not in STRESS and not c.isspace() and c not in "-_|")
  out, i = [], 0
  while i < len(s):
    for d in sorted(DIPHTHONGS, key=len, reverse=True):
      if s.startswith(d, i):
        out.append(d)
        i += len(d)
        break
    else:
      if out and (s[i] in "ːˑ˞ʰʲʷ" or 0x300 <= ord(s[i]) < 0x370):
        out[-1] += s[i]
      else:
        out.append(s[i])
      i += 1
  return tuple(out)


def is_vowel(tok):
  return tok[:1] in VOWELS


def syllables(toks):
  return sum(1 for t in toks if is_vowel(t))


def _espeak_lines(clean, voice):
  out = subprocess.run(["espeak-ng", "-q", "--ipa", "-v", voice], input="\n".join(clean) + "\n",
                       capture_output=True, text=True, check=True, timeout=3600).stdout
  return out.splitlines()


def phonemise(texts, voice=VOICE, workers=2):
  """Token tuples of many texts: one text a line through espeak-ng, in `workers` processes
  for a long list."""
  texts = list(texts)
  if not texts:
    return []
  clean = [re.sub(r"[\r\n]+", " ", t).strip() or "." for t in texts]
  if len(clean) > 2000 and workers > 1:
    from concurrent.futures import ThreadPoolExecutor
    size = -(-len(clean) // workers)
    parts = [clean[i: i + size] for i in range(0, len(clean), size)]
    with ThreadPoolExecutor(workers) as pool:
      chunks = list(pool.map(lambda c: _espeak_lines(c, voice), parts))
    lines = [x for c in chunks for x in c] if all(
        len(c) == len(p) for c, p in zip(chunks, parts)) else []
  else:
    lines = _espeak_lines(clean, voice)
  if len(lines) != len(clean):
    # espeak-ng joined or split some lines: take the texts one by one (slow, rare)
    lines = [subprocess.run(["espeak-ng", "-q", "--ipa", "-v", voice, t], capture_output=True,
                            text=True, check=True, timeout=60).stdout.replace("\n", " ")
             for t in clean]
  return [tokens(line) for line in lines]


def word_list(path=WORD_LIST, limit=None):
  """Lower-case words of letters only (no names, no possessives), sorted; "a" and "i" are the
  only one-letter words kept. limit: every k-th word only, about that many (a quick run)."""
  with open(path, encoding="utf-8", errors="replace") as f:
    words = {w.strip() for w in f}
  words = sorted(w for w in words if re.fullmatch(r"[a-z]+", w) and (len(w) > 1 or w in "ai"))
  if limit and len(words) > limit:
    words = words[:: -(-len(words) // limit)]
  return words


def table(work_dir, path=WORD_LIST, voice=VOICE, log=print, limit=None):
  """{word: phoneme tokens} of the word list, cached in work_dir (keyed by the list's
  contents and the voice)."""
  words = word_list(path, limit)
  key = hashlib.sha256(("\n".join(words) + voice).encode()).hexdigest()[:12]
  cache = os.path.join(work_dir, f"phonemes_{voice}_{key}.json")
  if os.path.exists(cache):
    with open(cache) as f:
      return {w: tuple(t) for w, t in json.load(f).items()}
  log(f"[lookalikes] phonemes of {len(words)} words with espeak-ng ({voice}), once")
  toks = phonemise(words, voice)
  result = dict(zip(words, toks))
  os.makedirs(work_dir, exist_ok=True)
  with open(cache + ".tmp", "w") as f:
    json.dump({w: list(t) for w, t in result.items()}, f, ensure_ascii=False)
  os.replace(cache + ".tmp", cache)
  return result


def sub_cost(a, b):
  if a == b:
    return 0.0
  if a[:1] == b[:1] or (is_vowel(a) and is_vowel(b)):
    return 0.5
  if any(a[:1] in t and b[:1] in t for t in TWINS):
    return 0.5
  if not is_vowel(a) and not is_vowel(b):
    return 0.8
  return 1.0


def distances(target, candidates):
  """Edit distance (insertion and deletion 1, substitution by sub_cost) from target to every
  candidate token tuple, all candidates at once."""
  n = len(candidates)
  if n == 0:
    return np.zeros(0)
  inventory = sorted({t for c in candidates for t in c} | set(target))
  ids = {t: i for i, t in enumerate(inventory)}
  cost = np.array([[sub_cost(a, b) for b in inventory] for a in inventory])
  lengths = np.array([len(c) for c in candidates])
  width = int(lengths.max()) if n else 0
  codes = np.zeros((n, max(1, width)), np.int64)
  for i, c in enumerate(candidates):
    codes[i, : len(c)] = [ids[t] for t in c]
  prev = np.tile(np.arange(width + 1, dtype=np.float64), (n, 1))
  for i, t in enumerate(target, 1):
    cur = np.empty_like(prev)
    cur[:, 0] = i
    sub = cost[ids[t]][codes]
    for j in range(1, width + 1):
      cur[:, j] = np.minimum(np.minimum(prev[:, j] + 1, cur[:, j - 1] + 1),
                             prev[:, j - 1] + sub[:, j - 1])
    prev = cur
  return prev[np.arange(n), lengths]


def nearest(target, tab, k, max_ratio=0.5, exclude=(), slack=3):
  """The k words of tab closest to target (distance above 0, at most max_ratio of its
  length), as [(distance, word)] sorted."""
  words = [w for w, t in tab.items() if abs(len(t) - len(target)) <= slack and w not in exclude]
  d = distances(target, [tab[w] for w in words])
  limit = max_ratio * max(1, len(target))
  hits = sorted((float(x), w) for x, w in zip(d, words) if 0 < x <= limit)
  return hits[:k]


def read_negatives(path):
  """The user's own negatives: one phrase a line; '#' starts a comment."""
  out = []
  with open(path, encoding="utf-8") as f:
    for line in f:
      text = " ".join(line.split("#", 1)[0].split())
      if text:
        out.append(text)
  return out


def too_close(target, sound):
  """Whether a text's sound is the phrase's to a listener: within MIN_DISTANCE of it, or the
  phrase and then more (a causal detector has fired before the extra sound)."""
  return sound[: len(target)] == target or distances(target, [sound])[0] < MIN_DISTANCE


class AccentCheck:
  """too_close() in every accent of `accents`, each text phonemised once per accent, many
  texts in one espeak-ng call (prefetch)."""

  def __init__(self, phrase_text, accents):
    self.accents = [a for a in accents if a != VOICE]
    self.targets = {a: phonemise([phrase_text], a)[0] for a in self.accents}
    self.sounds = {}

  def prefetch(self, texts):
    new = sorted({t for t in texts if t not in self.sounds})
    if new and self.accents:
      per = {a: phonemise(new, a) for a in self.accents}
      for i, t in enumerate(new):
        self.sounds[t] = {a: per[a][i] for a in self.accents}

  def rejects(self, text):
    self.prefetch([text])
    return any(too_close(self.targets[a], self.sounds[text][a]) for a in self.accents)


def find(phrase, work_dir, word_list_path=WORD_LIST, voice=VOICE, user=(), log=print,
         n_whole=14, n_swap=10, n_inside=6, n_split=6, n_command=3, limit=None,
         accents=ACCENTS):
  """The look-alike negatives of a Phrase, in a fixed order: [(text, how it was found)].
  limit: phonemise only about that many words of the list (a quick run); accents: the other
  accents in which no look-alike may sound like the phrase (() for the list's voice alone)."""
  tab = table(work_dir, word_list_path, voice, log, limit)
  words = phrase.words
  missing = [w for w in dict.fromkeys(words + list(user)) if w not in tab]
  tab_extra = dict(zip(missing, phonemise(missing, voice)))
  toks = lambda text: sum((tab.get(w) or tab_extra.get(w) or () for w in text.split()), ())
  target = toks(phrase.text)
  forms = phrase.spoken_forms()
  own = re.compile(r"\b" + re.escape(phrase.text) + r"\b")
  out, seen, sounds = [], set(), set()
  accent = AccentCheck(phrase.text, accents)

  def add(text, how):
    text = " ".join(text.split())
    key = text.lower().strip(".,!?")
    if key in seen or key in forms or own.search(key):
      return False
    plain = [w.strip(".,!?") for w in key.split()]
    if all(w in tab or w in tab_extra for w in plain):
      sound = toks(" ".join(plain))
      if sound == target:
        return False  # sounds exactly like the phrase: a positive, whoever wrote it
      if how != "yours":
        # A word that begins with the phrase's sounds ("hey novas") is the phrase until the
        # detector has fired: refusing it teaches the network to refuse the phrase. Half a
        # phoneme (one vowel for another: "he nova") is what voices and their formant
        # shifts do to the phrase itself, so such a text is not a negative either. (A part
        # of the phrase is shorter than the phrase, so neither holds for it.)
        if how != "part of the phrase" and (
            sound in sounds or too_close(target, sound) or accent.rejects(" ".join(plain))):
          return False
      sounds.add(sound)
    seen.add(key)
    out.append((text, how))
    return True

  def add_closest(cands, n, how):
    """The n closest of cands that add() takes, nearest first."""
    ranked, taken = sorted(zip(distances(target, [toks(c) for c in cands]).tolist(), cands)), 0
    accent.prefetch(c for _, c in ranked[: 3 * n])
    for x, c in ranked:
      if taken == n:
        break
      taken += x > 0 and add(c, how)

  skip = set(words)
  whole = nearest(target, tab, n_whole, exclude=skip)
  accent.prefetch(w for _, w in whole)
  for _, w in whole:
    add(w, "close to the phrase")
  if len(words) > 1:
    for size in range(len(words) - 1, 0, -1):
      for i in range(len(words) - size + 1):
        add(" ".join(words[i: i + size]), "part of the phrase")
    near = [[w] + [x for _, x in nearest(tab.get(w) or tab_extra[w], tab, 8, 0.67,
                                         exclude={w}, slack=2)] for w in words]
    combos = set()
    for i in range(len(words)):
      for x in near[i][1:]:
        combos.add(" ".join(words[:i] + [x] + words[i + 1:]))
    if len(words) == 2:
      combos |= {f"{a} {b}" for a in near[0][1:3] for b in near[1][1:3]}
    add_closest(sorted(combos), n_swap, "a word swapped")
  # a longer word that holds the word's sounds ("supernova") before one that only holds
  # its letters ("innovate" says no "nova"); one form of each word ("innovated" after
  # "innovate" would add nothing the network has not heard)
  inside = {}
  for w in words:
    if len(w) >= 3 and w not in ("hey", "okay", "hello"):
      wt = "".join(tab.get(w) or tab_extra[w])
      for x, t in tab.items():
        if x == w or len(x) <= len(w):
          continue
        by_sound = len(wt) >= 3 and wt in "".join(t)
        if by_sound or w in x:
          inside[x] = min(inside.get(x, 1), 0 if by_sound else 1)
  taken = []
  for x in sorted(inside, key=lambda x: (inside[x], len(x), x)):
    if len(taken) == n_inside:
      break
    if x not in seen and not any(x.startswith(y) for y in taken):
      taken.append(x)
  for x in taken:
    add(x, "inside a longer word")
  splits = []
  for i in range(2, len(target) - 1):
    left = nearest(target[:i], tab, 1, 0.34, slack=1) or [(0.0, None)]
    right = nearest(target[i:], tab, 1, 0.34, slack=1) or [(0.0, None)]
    exact_l = [w for w, t in tab.items() if t == target[:i]][:1]
    exact_r = [w for w, t in tab.items() if t == target[i:]][:1]
    lw = exact_l[0] if exact_l else left[0][1]
    rw = exact_r[0] if exact_r else right[0][1]
    if lw and rw:
      splits.append(f"{lw} {rw}")
  add_closest(sorted(set(splits)), n_split, "split over two words")
  firsts = [t for t, how in out if how in ("part of the phrase", "close to the phrase")]
  for t in firsts[:n_command]:
    add(f"{t}, {COMMAND}", "before a command")
  for t in user:
    add(t, "yours")
  return out


def texts(phrase, work_dir, user=(), log=print, limit=None):
  """The texts alone, for the synthesisers: a data file's list for a phrase that has one
  (the bundled word keeps the look-alikes it was trained with), else the found ones; the
  user's own negatives after them."""
  if phrase.confusables:
    base = list(phrase.confusables)
    forms = phrase.spoken_forms()
    return base + [t for t in user if t.lower().strip(".,!?") not in forms and t not in base]
  return [t for t, _ in find(phrase, work_dir, user=user, log=log, limit=limit)]
