"""The wake phrase: validation, its texts, and the bundled word's texts kept as trained."""

import pytest

from quelt_train import phrase as P

# The texts the bundled model's recipe was trained with, written out once more here so that
# a change to the data file shows.
COMPUTER_FORMS = ["computer", "computer.", "computer!", "computer?", "computer,", "Computer."]
COMPUTER_LEAD_INS = ["okay computer", "hey computer", "hello computer", "so, computer",
                     "yes computer", "alright computer", "okay, computer.", "hey, computer!"]


def test_computer_keeps_the_texts_it_was_trained_with():
  p = P.load()
  assert p.text == "computer" and p.slug == "computer" and p.from_file and p.is_bundled
  assert p.forms == COMPUTER_FORMS and p.lead_ins == COMPUTER_LEAD_INS
  assert len(p.confusables) == 31 and p.confusables[:3] == ["commuter", "compute", "computing"]
  assert "come pewter" not in p.confusables  # "computer" itself in every accent
  assert p.samples[0] == ("computer.wav", "flite", "rms", "Computer.")
  # the generated rules give the same forms and lead-ins as the data file
  generated = P.Phrase("computer", words_dir="/nonexistent")
  assert generated.forms == COMPUTER_FORMS and generated.lead_ins == COMPUTER_LEAD_INS
  assert p.in_text("it was computed") and not p.in_text("a commuter train")


@pytest.mark.parametrize("bad", ["", "   ", "hey-nova", "nova2", "hey, nova", "one two three four five",
                                 "''", "héllo", None])
def test_invalid_phrases_are_refused_with_a_clear_error(bad):
  with pytest.raises(P.PhraseError, match="wake phrase"):
    P.Phrase(bad)
  if bad is not None:  # the command line's --word "" must not fall back to the default
    with pytest.raises(P.PhraseError, match="wake phrase"):
      P.load(bad)


def test_a_new_phrase_gets_forms_lead_ins_sentences_and_a_slug():
  p = P.Phrase("  Hey   Nova ")
  assert p.text == "hey nova" and p.words == ["hey", "nova"] and p.slug == "hey_nova"
  assert not p.from_file and not p.is_bundled
  assert "hey nova" in p.forms and "Hey nova." in p.forms and "hey nova?" in p.forms
  # it already starts with a lead word: other context, never "hey hey nova"
  assert p.lead_ins and all(l.endswith(("hey nova", "hey nova.", "hey nova!")) for l in p.lead_ins)
  assert not any(l.replace(",", "").startswith("hey hey") for l in p.lead_ins)
  assert "Hey nova, turn on the lights" in p.sentences
  assert [s[0] for s in p.samples][:2] == ["hey_nova.wav", "hey_nova_lights_on.wav"]
  assert p.in_text("the Nova was bright") and p.in_text("two novas") and not p.in_text("november")
  assert not p.in_text("hey there")
  o = P.Phrase("oh hello")
  assert not any(l.startswith("oh, oh") for l in o.lead_ins)
  assert P.Phrase("jarvis").lead_ins[0] == "okay jarvis"
  assert P.slug_of("What's up") == "whats_up"
  assert P.Phrase("hey you").exclude_text == ["you"]
  assert P.Phrase("hey hi").exclude_text == ["hey hi"]
