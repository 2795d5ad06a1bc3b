"""The operating point: the bias shift that calibration chooses for the default threshold."""

import numpy as np

from calibrate import OPERATING_FA_PER_HOUR, THRESHOLD_LOGIT, choose_offset

TH = THRESHOLD_LOGIT
HOUR = 360000  # frames


def negatives(peak_offsets):
  """One hour of low logits with isolated peaks at TH + offset, far apart."""
  z = np.full(HOUR, -20.0)
  for i, off in enumerate(peak_offsets):
    z[1000 + 5000 * i] = TH + off
  return [z]


def positives(peak_offsets):
  """Streams of 400 frames, each with one word whose labelled frames peak at TH + offset."""
  logits, labels = [], []
  for off in peak_offsets:
    z = np.full(400, -20.0)
    z[220] = TH + off
    lab = np.zeros(400, np.int8)
    lab[190:300] = -1
    lab[200:241] = 1
    logits.append(z)
    labels.append(lab)
  return logits, labels


def test_most_words_within_the_false_accept_target():
  assert OPERATING_FA_PER_HOUR == 2.0
  neg = negatives([-0.6, -1.1, -1.6, -2.6])
  pos, lab = positives([-0.1, -0.4, -0.9, -1.4, -1.9, -3.0])
  # A shift of 1.5 lets two negative peaks through (2 per hour) and four words; 1.75 would
  # find a fifth word only at a third false accept.
  assert choose_offset(pos, lab, neg, log=lambda m: None) == 1.5
  assert choose_offset(pos, lab, neg, log=lambda m: None, fa_target=1.0) == 1.0
  assert choose_offset(pos, lab, neg, log=lambda m: None, fa_target=0.0) == 0.5


def test_a_word_detected_twice_does_not_count():
  neg = negatives([-1.1])
  pos, lab = positives([-0.4, -0.4])
  # the second word's stream also peaks later, outside its window and past the cooldown
  pos[1][360] = TH - 0.4
  log = []
  assert choose_offset(pos, lab, neg, log=log.append, fa_target=0.0) == 0.5
  assert "exactly once 0.500" in log[0]


def test_unreachable_target_takes_the_fewest_false_accepts():
  # A negative peak that every shift lets through: the lowest shift fires least.
  neg = negatives([10.0, -1.0, -2.0])
  pos, lab = positives([0.0])
  assert choose_offset(pos, lab, neg, log=lambda m: None, fa_target=0.5) == -8.0
