# Helpers shared by the test files: observing every frame's score, pushing the same
# elements through the element path, and the integer-made test signal with its pinned scores.
import os
import struct


def bits(value):
    """The single-precision bit pattern of a score or timestamp (NaN-safe equality)."""
    return struct.unpack("<I", struct.pack("<f", value))[0]


class ElementSeq:
    """The same elements as `obj`, in the same order, without a buffer: a push of it
    converts element by element, exactly as a push of `obj` would without the fast path."""

    def __init__(self, obj):
        self._obj = obj

    def __len__(self):
        return len(self._obj)

    def __getitem__(self, index):
        return self._obj[index]

    def __iter__(self):
        return iter(self._obj)


def every_frame(make_engine):
    """An engine that reports every frame: threshold 0 and no cooldown, so each frame's
    score comes back as a detection."""
    return make_engine(threshold=0.0, cooldown_frames=0)


def trace(detections):
    return [(d.frame_index, bits(d.timestamp_sec), bits(d.score)) for d in detections]


def outcome(make_engine, method, pcm):
    """What pushing `pcm` into a fresh every-frame engine does: the frames it reports and
    the score after it, or the exception it raises (type and message) and the score."""
    engine = every_frame(make_engine)
    try:
        result = ("ok", trace(getattr(engine, method)(pcm)))
    except Exception as error:  # noqa: BLE001: the exception is the observation
        result = ("raised", type(error), str(error))
    return result + (bits(engine.current_score()),)


def make_test_signal():
    """The integer-made test signal of tests/c_api/test_signal.h, sample for sample: 3 s
    in six half-second pieces of noise plus a gliding square wave."""
    loudness = [3000, 12000, 0, 500, 20000, 6000]
    state = 2463534242
    out = []
    for n in range(48000):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        a = loudness[n // 8000]
        period = 20 + (n // 400) % 60
        noise = (((state >> 16) * a) >> 17) - (a >> 2)
        square = a >> 1 if (n % period) * 2 < period else -(a >> 1)
        out.append(noise + square)
    return out


GOLDEN_SCORES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                             "golden_scores.txt")


def golden_scores():
    """The pinned score bits of the random model over make_test_signal(), frame by frame."""
    with open(GOLDEN_SCORES, encoding="ascii") as f:
        return [int(line, 16) for line in f if line.strip() and not line.startswith("#")]
