"""Streaming wake-word detection: 16 kHz mono PCM in, detection events out."""

from typing import Final, List, Protocol, SupportsFloat, SupportsIndex, Union

__version__: Final[str]
__all__ = ["__version__", "WakeWordEngine", "Detection"]

# What a push accepts: anything with a length and integer indexing whose elements convert
# (lists, tuples, range, bytes, array.array, numpy arrays). str is refused at run time.
class _PcmI16(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

class _PcmF32(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Union[SupportsFloat, SupportsIndex]: ...

class Detection:
    """One wake-word detection event."""

    @property
    def frame_index(self) -> int:
        """0-based frame index since session start (or last `reset`). One frame = 10 ms."""
    @property
    def timestamp_sec(self) -> float:
        """Seconds since session start at the detection frame's start."""
    @property
    def score(self) -> float:
        """Sigmoid score in `[0, 1]`."""

class WakeWordEngine:
    """Streaming wake-word inference engine.

    Construct via `from_path` or `from_bytes`; feed 16 kHz mono PCM chunks via
    `push_pcm_i16` / `push_pcm_f32` and read the returned detections.
    """

    @staticmethod
    def from_path(path: str) -> WakeWordEngine:
        """Open a `.qelt` v2 artefact from a file path (raises OSError)."""
    @staticmethod
    def from_bytes(bytes: bytes) -> WakeWordEngine:
        """Construct from raw `.qelt` bytes (raises ValueError)."""
    def push_pcm_i16(self, pcm: _PcmI16) -> List[Detection]:
        """Push signed 16-bit samples: a sequence of ints, a numpy int16 array, an
        array.array('h'), or bytes (one sample per byte)."""
    def push_pcm_f32(self, pcm: _PcmF32) -> List[Detection]:
        """Push float samples in `[-1, 1]`: a sequence of numbers or a numpy array."""
    def current_score(self) -> float:
        """Latest sigmoid score (0..1)."""
    def reset(self) -> None:
        """Wipe accumulated state; threshold and cooldown_frames are kept."""
    @property
    def threshold(self) -> float:
        """Sigmoid-space detection threshold in `[0, 1]` (ValueError otherwise)."""
    @threshold.setter
    def threshold(self, v: SupportsFloat) -> None: ...
    @property
    def cooldown_frames(self) -> int:
        """Post-detection cooldown in frames (1 frame = 10 ms)."""
    @cooldown_frames.setter
    def cooldown_frames(self, v: SupportsIndex) -> None: ...
