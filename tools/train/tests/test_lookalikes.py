"""Look-alike negatives: the phoneme tokens, the batched edit distance against a plain one,
and the lists found for "computer" and "hey nova" (needs espeak-ng and a word list)."""

import os
import random
import shutil

import pytest

from quelt_train import lookalikes as L, phrase as P

HAVE_TOOLS = shutil.which("espeak-ng") and os.path.exists(L.WORD_LIST)


def reference_distance(a, b):
  d = [[0.0] * (len(b) + 1) for _ in range(len(a) + 1)]
  for i in range(len(a) + 1):
    d[i][0] = float(i)
  for j in range(len(b) + 1):
    d[0][j] = float(j)
  for i in range(1, len(a) + 1):
    for j in range(1, len(b) + 1):
      d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + L.sub_cost(a[i - 1], b[j - 1]))
  return d[-1][-1]


def test_tokens_and_the_batched_distance():
  assert L.tokens("kəmpjˈuːɾɚ") == ("k", "ə", "m", "p", "j", "uː", "ɾ", "ɚ")
  assert L.tokens("hˈeɪ nˈoʊvə") == ("h", "eɪ", "n", "oʊ", "v", "ə")
  assert L.syllables(L.tokens("hˈeɪ nˈoʊvə")) == 3 and L.syllables(L.tokens("hˈeɪ")) == 1
  rng = random.Random(3)
  inventory = ["k", "g", "ə", "ɪ", "eɪ", "m", "n", "uː", "s", "z", "ɾ", "t"]
  seq = lambda: tuple(rng.choice(inventory) for _ in range(rng.randint(0, 9)))
  for _ in range(20):
    target, cands = seq() or ("k",), [seq() for _ in range(30)]
    got = L.distances(target, cands)
    assert [round(x, 6) for x in got] == [round(reference_distance(target, c), 6) for c in cands]


def test_user_negatives_file(tmp_path):
  f = tmp_path / "neg.txt"
  f.write_text("# my own\nnoah   va\n\nnever mind  # the usual\n")
  assert L.read_negatives(str(f)) == ["noah va", "never mind"]


@pytest.fixture(scope="module")
def small_list(tmp_path_factory):
  """Every 40th word of the list and the words the tests look for: a quick phoneme table."""
  d = tmp_path_factory.mktemp("la")
  words = L.word_list()[::40] + ["commuter", "compute", "computers", "supercomputer", "novel",
                                 "nova", "novas", "supernova", "innovate", "innovated",
                                 "innovates", "a", "hey", "hay", "he", "come", "novels",
                                 "pewter", "computer", "nora", "never", "navy"]
  path = d / "words"
  path.write_text("\n".join(words) + "\n")
  return str(path), str(d)


@pytest.mark.skipif(not HAVE_TOOLS, reason="needs espeak-ng and /usr/share/dict/words")
def test_lookalikes_of_computer_and_hey_nova(small_list):
  path, work = small_list
  comp = P.Phrase("computer", words_dir="/nonexistent")
  found = L.find(comp, work, path)
  texts = [t for t, _ in found]
  assert "commuter" in texts and "compute" in texts
  # "computers" is "computer" until its last sound: refusing it would refuse the word
  assert "computers" not in texts and "supercomputer" in texts
  assert "computer" not in texts and texts == [t for t, _ in L.find(comp, work, path)]
  assert any(L.COMMAND in t for t in texts)
  nova = P.Phrase("hey nova")
  texts = [t for t, _ in L.find(nova, work, path, user=["hey nova.", "nova scotia"])]
  assert "hey" in texts and "nova" in texts and "nova scotia" in texts
  # half a phoneme from the phrase, or the phrase and then more: not negatives
  assert "he nova" not in texts and "hey novas" not in texts and "novas" in texts
  assert "nova scotia" in texts
  sounds = [L.phonemise([t.replace(",", "")])[0] for t in texts]
  assert len(set(sounds)) == len(sounds)  # no two texts sound the same
  target = L.phonemise(["hey nova"])[0]
  ours = [s for s, t in zip(sounds, texts) if t not in ("hey", "nova", "nova scotia")]
  assert min(L.distances(target, ours)) >= L.MIN_DISTANCE
  # nor in any accent the voices speak: where the r is silent, "hey never" is one vowel away
  assert "hey navy" in texts and "hey never" not in texts
  others = [t.replace(",", "") for t in texts if t not in ("hey", "nova", "nova scotia")]
  for accent in L.ACCENTS:
    there = L.phonemise(["hey nova"] + others, accent)
    assert min(L.distances(there[0], there[1:])) >= L.MIN_DISTANCE, accent
  inside = [t for t, how in L.find(nova, work, path) if how == "inside a longer word"]
  # the word's sounds inside a longer word come before its letters alone, one form a word
  assert inside.index("supernova") < inside.index("innovate")
  assert "innovated" not in inside and "innovates" not in inside
  spoken = nova.spoken_forms()
  assert not spoken & {t.lower().strip(".,!?") for t in texts}
  assert "hay nova" not in texts  # sounds exactly like the phrase
  assert len(os.listdir(work)) >= 2  # the phoneme table is cached beside the list
  # the bundled word keeps the list it was trained with; the user's texts come after it
  bundled = P.load("computer")
  assert L.texts(bundled, work, user=["computer", "cape"]) == bundled.confusables + ["cape"]


@pytest.mark.skipif(not shutil.which("espeak-ng"), reason="needs espeak-ng")
def test_data_file_lists_hold_no_sound_of_their_phrase():
  # a data file's list is used as it stands; "come pewter" was "computer" in every accent
  for name in ("computer",):
    spec = P.load(name)
    check = L.AccentCheck(spec.text, L.ACCENTS)  # every accent but the list's own
    check.prefetch(spec.confusables)
    target = L.phonemise([spec.text], L.VOICE)[0]
    own = L.phonemise(spec.confusables, L.VOICE)
    close = [t for t, s in zip(spec.confusables, own) if L.too_close(target, s) or check.rejects(t)]
    assert close == [], name
