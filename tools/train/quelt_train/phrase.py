"""File: phrase.py -- the wake phrase a model is made for, and every text the recipe speaks of it.

A phrase is one to four English words (letters and apostrophes). From it come the word forms
the synthesisers say alone (punctuation and capitalisation change how they speak it), the
lead-ins ("okay X", "hey X"), sentences with the phrase at their start ("X, turn on the
lights"), the sample texts, the file-name slug ("hey_nova") and the rule that keeps
transcripts holding the phrase out of the negatives. A phrase with a data file in
tools/train/words/<slug>.json takes its texts from there: "computer", the bundled model's
word, keeps the exact lists its recipe was trained with.
"""

import json
import os
import re

WORDS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "words")
MAX_WORDS = 4
# Words people put before a name when they call it. A phrase that already starts with one
# gets other context instead ("hey hey nova" is no way to call anyone).
LEAD_WORDS = ("okay", "ok", "hey", "hello", "hi", "so", "yes", "alright", "oh", "yo")
LEAD_INS = ("okay {}", "hey {}", "hello {}", "so, {}", "yes {}", "alright {}", "okay, {}.",
            "hey, {}!")
OTHER_CONTEXT = ("so, {}", "well, {}", "um, {}", "oh, {}", "and {}", "right, {}.", "now, {}!",
                 "so, uh, {}")
COMMANDS = ("turn on the lights", "what time is it?", "set a timer for ten minutes",
            "play some music", "what's the weather like today?", "stop the music")
NO_WAKE_WORD = "The weather is lovely today, let us walk in the park."
_VALID = re.compile(r"^[A-Za-z']+( [A-Za-z']+)*$")


class PhraseError(ValueError):
  """A text that cannot be a wake phrase."""


def normalise(text):
  """Lower case, single spaces; raises PhraseError for anything but 1 to 4 words of letters
  and apostrophes."""
  if not isinstance(text, str):
    raise PhraseError("the wake phrase must be text")
  words = text.strip().split()
  clean = " ".join(words)
  if not words or not _VALID.match(clean) or not any(c.isalpha() for c in clean):
    raise PhraseError(f"not a wake phrase: {text!r}: use English words of letters and "
                      "apostrophes separated by spaces, such as \"hey nova\"")
  if any(not any(c.isalpha() for c in w) for w in words):
    raise PhraseError(f"not a wake phrase: {text!r}: every word needs a letter")
  if len(words) > MAX_WORDS:
    raise PhraseError(f"not a wake phrase: {text!r} has {len(words)} words; use 1 to "
                      f"{MAX_WORDS}")
  return clean.lower()


def slug_of(text):
  """File-name form: "Hey Nova" -> "hey_nova", "what's up" -> "whats_up"."""
  return "_".join(w.replace("'", "") for w in normalise(text).split())


def sentence_case(text):
  return text[:1].upper() + text[1:]


class Phrase:
  """The wake phrase and its texts. Attributes: text (normalised), words, slug, forms,
  lead_ins, sentences, confusables (a data file's own list; look-alikes found by sound come
  from lookalikes.py), exclude_text, samples [(file, engine, voice, text)]."""

  def __init__(self, text, words_dir=WORDS_DIR):
    self.text = normalise(text)
    self.words = self.text.split()
    self.slug = slug_of(self.text)
    self.data_file = os.path.join(words_dir, self.slug + ".json")
    spec = {}
    if os.path.exists(self.data_file):
      with open(self.data_file) as f:
        spec = json.load(f)
      if normalise(spec.get("phrase", self.text)) != self.text:
        raise PhraseError(f"{self.data_file} is for {spec['phrase']!r}, not {self.text!r}")
    self.from_file = bool(spec)
    self.forms = list(spec.get("forms") or self._forms())
    self.lead_ins = list(spec.get("lead_ins") or self._lead_ins())
    self.sentences = list(spec.get("sentences") or
                          [f"{sentence_case(self.text)}, {c}" for c in COMMANDS])
    self.confusables = list(spec.get("confusables") or [])
    self.exclude_text = list(spec.get("exclude_text") or self._exclude())
    self.samples = [tuple(s) for s in spec.get("samples") or self._samples()]

  @property
  def is_bundled(self):
    """The bundled model's word, whose evaluation goes to docs/."""
    return self.text == "computer"

  def starts_with_lead_word(self):
    return self.words[0] in LEAD_WORDS

  def _forms(self):
    p = self.text
    return [p, p + ".", p + "!", p + "?", p + ",", sentence_case(p) + "."]

  def _lead_ins(self):
    if not self.starts_with_lead_word():
      return [t.format(self.text) for t in LEAD_INS]
    first = self.words[0]
    # never the phrase's own first word again in front of it ("oh, oh hello")
    return [t.format(self.text) for t in OTHER_CONTEXT
            if re.sub(r"[^a-z' ]", "", t.split("{}")[0]).split()[-1:] != [first]]

  def _exclude(self):
    """Transcripts holding these (as words) may say the phrase: the phrase's own words
    other than lead words, or the whole phrase when it has no others."""
    content = [w for w in self.words if w not in LEAD_WORDS]
    return content or [self.text]

  def _samples(self):
    lead = self._lead_ins()[0]
    return [(self.slug + ".wav", "flite", "rms", sentence_case(self.text) + "."),
            (self.slug + "_lights_on.wav", "flite", "rms",
             sentence_case(lead.rstrip(".!")) + ", turn on the kitchen lights."),
            (self.slug + "_espeak.wav", "espeak", "en-029+m3", sentence_case(self.text) + "!"),
            (self.slug + "_festival.wav", "festival", "ked_diphone",
             sentence_case(lead.rstrip(".!")) + ", what time is it?"),
            ("no_wake_word.wav", "flite", "rms", NO_WAKE_WORD)]

  def in_text(self, text):
    """Whether a transcript may hold the phrase, so that it cannot serve as a negative. A
    data file's rule is a substring ("comput" also catches "computed"); the generated rule
    matches whole words and their plural or possessive."""
    t = text.lower()
    if self.from_file:
      return any(x in t for x in self.exclude_text)
    return any(re.search(r"\b" + re.escape(x) + r"(s|'s|es)?\b", t) for x in self.exclude_text)

  def spoken_forms(self):
    """Every text that says the phrase itself (alone, case and punctuation aside)."""
    return {self.text} | {re.sub(r"[^a-z' ]", "", f.lower()).strip() for f in self.forms}

  def describe(self):
    return {"phrase": self.text, "slug": self.slug, "forms": self.forms,
            "lead_ins": self.lead_ins, "data_file": self.data_file if self.from_file else None}


def load(text=None, words_dir=WORDS_DIR):
  """The phrase for text (None: "computer"); an empty text is refused like any bad one."""
  return Phrase("computer" if text is None else text, words_dir)
