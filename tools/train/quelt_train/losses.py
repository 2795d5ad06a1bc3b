"""File: losses.py -- per-frame objectives on the pooled score.

Negative frames are pushed down, both on average and at each stream's highest negative frame
(false accepts come from peaks); each wake word must raise its best frame in the short window
after it ends. Frames labelled -1 (the end of the word and the cooldown after it) are free.
"""

import torch
from torch.nn import functional as F

NEG_INF = -1e4


def auxiliary_frame_loss(frame_logits, labels):
  """Per-frame logits (the head on each embedding alone) against the same labels.

  The pooled score dilutes a word over 2 s, so its gradient teaches the word slowly; this
  direct signal gets the embeddings started.
  """
  mask = labels >= 0
  target = (labels == 1).float()
  return F.binary_cross_entropy_with_logits(frame_logits[mask], target[mask])


def frame_loss(logits, labels, peak_weight=1.0, pos_margin=0.0):
  """logits (B, T) pooled logits, labels (B, T) in {1, 0, -1}; returns (loss, stats).

  pos_margin asks each word's best frame for a logit above it (ln 9 = 2.2 is the default
  threshold 0.9), not merely above 0.
  """
  neg = labels == 0
  pos = labels == 1
  neg_mean = F.softplus(logits[neg]).mean() if neg.any() else logits.sum() * 0
  neg_peak_logit = torch.where(neg, logits, torch.full_like(logits, NEG_INF)).amax(dim=1)
  has_neg = neg.any(dim=1)
  neg_peak = F.softplus(neg_peak_logit[has_neg]).mean() if has_neg.any() else logits.sum() * 0
  has_pos = pos.any(dim=1)
  if has_pos.any():
    pos_peak_logit = torch.where(pos, logits, torch.full_like(logits, NEG_INF)).amax(dim=1)
    pos_loss = F.softplus(pos_margin - pos_peak_logit[has_pos]).mean()
  else:
    pos_loss = logits.sum() * 0
  loss = neg_mean + peak_weight * neg_peak + 2.0 * pos_loss
  return loss, {"neg": float(neg_mean), "neg_peak": float(neg_peak), "pos": float(pos_loss)}


AFTER_START, AFTER_END = 41, 150  # frames after the word's end that the second head marks


def after_targets(labels):
  """1 from 0.41 s to 1.5 s after each word's end, 0 on negative frames, -1 elsewhere.

  A second per-frame head learns this span during training (it is not exported): it makes
  the embedding say "a wake word ended a moment ago", which the exported head then uses to
  pull the pooled score down within the cooldown.
  """
  target = torch.where(labels == 0, 0, -1)
  t = labels.shape[1]
  idx = torch.arange(t, device=labels.device).expand_as(labels)
  pos = labels == 1
  has = pos.any(dim=1)
  last = torch.where(pos, idx, torch.full_like(idx, -1)).amax(dim=1)  # end + 40
  end = last - 40
  lo = (end + AFTER_START).unsqueeze(1)
  hi = (end + AFTER_END).unsqueeze(1)
  span = has.unsqueeze(1) & (idx >= lo) & (idx < hi)
  return torch.where(span, 1, target)


# Where the per-frame logit of everything that is not the word should sit. Cross-entropy
# alone pushes background frames ever lower, and further in some rooms than in others (a
# noisy room's pooled logit ended near -38, a quiet one's near -14), so a fixed threshold on
# the 2 s mean meant a different thing in every room. Held at one floor for silence, room
# and talk alike, the mean over 2 s of background is that floor in every room.
BACKGROUND_FLOOR = -4.0


def background_outside_after(labels):
  """Background frames (label 0) outside the span after a word's end that the second head
  marks (`after_targets`): the frames that belong to no word at all."""
  return (labels == 0) & (after_targets(labels) != 1)


def background_band_loss(frame_logits, labels, floor=BACKGROUND_FLOOR, exempt_after=False,
                         two_sided=False):
  """Mean squared distance below `floor` of the per-frame logits of background frames
  (label 0); cross-entropy keeps them from rising far above it. exempt_after leaves out the
  span after a word's end that `after_level_loss` holds far below the floor. two_sided
  counts the distance above the floor too, for when a stronger pull on the word's frames
  outweighs cross-entropy on the background."""
  neg = background_outside_after(labels) if exempt_after else labels == 0
  if not neg.any():
    return frame_logits.sum() * 0
  d = floor - frame_logits[neg]
  return (d if two_sided else F.relu(d)).square().mean()


def quiet_embedding_loss(e, labels):
  """Mean squared norm of the embeddings (B, T, 16) of background frames (label 0), except
  in the span after a word's end that the second head marks.

  The score is the head on the 2 s mean of the embeddings, so whatever the network emits for
  a room moves every decision taken in it. An embedding near zero for everything that is not
  the word (any room, talk or silence) keeps the pooled background at the head's bias in
  every room, and leaves the word's frames alone to move the mean. The moment after a word is
  exempt: its embedding says "a word ended", which the head uses to bring the pool down
  within the cooldown.
  """
  quiet = background_outside_after(labels)
  if not quiet.any():
    return e.sum() * 0
  return e[quiet].square().sum(dim=-1).mean()


# The pooled logit is the mean of 200 per-frame logits. To carry it from a background at the
# floor (-4) to the threshold's logit (ln 9 = 2.2) with a margin, the word's 46-frame window
# must add about 200 x 7 to the sum, some +30 a frame; cross-entropy is content at +3.
WORD_LEVEL = 30.0
# ... and to bring the pool back under the threshold by the end of the 1 s cooldown, although
# the word's frames stay in it for 2 s, the span after the word must take as much away again.
AFTER_LEVEL = -17.0


def word_level_loss(frame_logits, labels, level=WORD_LEVEL):
  """Hinge on the per-frame logits of the word's window (label 1): their shortfall under
  `level`, in units of the level, averaged."""
  pos = labels == 1
  if not pos.any():
    return frame_logits.sum() * 0
  return F.relu(level - frame_logits[pos]).mean() / abs(level)


def after_level_loss(frame_logits, labels, level=AFTER_LEVEL):
  """Hinge on the per-frame logits of the span after a word's end (`after_targets`): their
  excess over `level`, in units of the level, averaged; one word then gives one detection."""
  span = after_targets(labels) == 1
  if not span.any():
    return frame_logits.sum() * 0
  return F.relu(frame_logits[span] - level).mean() / abs(level)


# The gated head. The score is the head on the 2 s mean of the embedding, and an embedding
# channel ends in a ReLU: a channel trained to be negative before its ReLU for everything
# that is not the word is exactly zero there, in a quiet room, in talk and in the warm-up's
# silence alike, however far below zero each room sits. A head that reads only such
# channels gives every background the same pooled logit, its bias, and only the word moves
# the mean. One channel says "the word ended just now", a second "a word ended a moment
# ago", which a negative weight turns into the drop that ends the detection within the
# cooldown.
WORD_CHANNEL, AFTER_CHANNEL = 0, 1
GATED_CHANNELS = (WORD_CHANNEL, AFTER_CHANNEL)
# More word gates (train.py --word-gates): the same target from different starting weights,
# so the head averages several views of the word instead of hanging on one channel's luck.
MAX_WORD_GATES = 8


def word_channels(word_gates=1):
  """The embedding channels trained as word gates: channel 0, then 2, 3, ..."""
  if not 1 <= word_gates <= MAX_WORD_GATES:
    raise ValueError(f"word gates must be 1 to {MAX_WORD_GATES}, not {word_gates}")
  return (WORD_CHANNEL,) + tuple(range(2, word_gates + 1))


def gated_channels_of(head):
  """The channels a gated head reads (its nonzero weights), in channel order."""
  return [int(c) for c in torch.nonzero(head.weight[0]).flatten()]


def after_channel_targets(labels):
  """`after_targets`, with the word's own window (label 1) a negative: the after channel
  must stay shut while the word is still raising the pool."""
  return torch.where(labels == 1, 0, after_targets(labels))


def _masked_bce(pre, target):
  mask = target >= 0
  if not mask.any():
    return pre.sum() * 0
  return F.binary_cross_entropy_with_logits(pre[mask], (target[mask] == 1).float())


def gated_channel_loss(pre, labels, peak_weight=0.0, word_gates=1):
  """Per-frame cross-entropy on the pre-activations (B, T, 16) of the gated channels: each
  word channel against the word's window (label 1; their mean), the after channel against
  the span after the word's end. Returns (word loss, after loss).

  peak_weight adds, per stream and word gate, the cross-entropy of the gate's most open
  background frame: false accepts per hour come from the few frames in hours of talk where
  the gate opens, which the mean over every frame hardly sees."""
  labels = labels.long()
  neg = labels == 0
  has = neg.any(dim=1)
  word = 0
  for ch in word_channels(word_gates):
    word = word + _masked_bce(pre[..., ch], labels)
    if peak_weight and has.any():
      peak = torch.where(neg, pre[..., ch], torch.full_like(pre[..., 0], NEG_INF))
      word = word + peak_weight * F.softplus(peak.amax(dim=1)[has]).mean()
  word = word / word_gates
  return word, _masked_bce(pre[..., AFTER_CHANNEL], after_channel_targets(labels))


# Where the gated head starts: with the word channel near +5 over the word's 46-frame window
# (what cross-entropy reaches), weight 6 lifts the 2 s mean by about 7 from the bias at the
# floor, past the threshold's logit; the after channel takes it away again. Several word
# gates share the word's weight.
GATED_HEAD_WEIGHTS = {WORD_CHANNEL: 6.0, AFTER_CHANNEL: -6.0}


@torch.no_grad()
def set_gated_head(head, bias=BACKGROUND_FLOOR, word_gates=1):
  """Sets a Linear(16, 1) head to read only the gated channels, at their starting weights."""
  head.weight.zero_()
  for ch in word_channels(word_gates):
    head.weight[0, ch] = GATED_HEAD_WEIGHTS[WORD_CHANNEL] / word_gates
  head.weight[0, AFTER_CHANNEL] = GATED_HEAD_WEIGHTS[AFTER_CHANNEL]
  head.bias.fill_(bias)
