# Helpers shared by the test files: observing every frame's score, and pushing the same
# elements through the element path.
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
