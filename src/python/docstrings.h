// File: python/docstrings.h
//
// The module's docstrings. They are part of the interface: editors show them and
// inspect.signature() reads the text signatures, the first line of a member's docstring
// followed by a "--" line and an empty line, as the interpreter does for built-ins.
#pragma once

namespace quelt::python::docs {

// The name passed to PyModuleDef is what the interpreter looks for as
// PyInit_<name> and what `import` binds; renaming one without the other breaks the import.
inline constexpr const char* MODULE =
    "Streaming wake-word detection (16 kHz mono PCM in, detection events out).\n"
    "\n"
    "Maintainer's note: this extension registers itself as `quelt_wake_word`. That name\n"
    "fixes the exported initialisation symbol (PyInit_quelt_wake_word) and must stay equal\n"
    "to the import path (`from quelt_wake_word import WakeWordEngine`) and to the file\n"
    "name quelt_wake_word.abi3.so; change all three together or the import fails.";

inline constexpr const char* ENGINE =
    "Streaming wake-word inference engine.\n\nConstruct via [`WakeWordEngine.from_path`] "
    "or\n[`WakeWordEngine.from_bytes`]. Once constructed, feed it 16 kHz\nmono PCM chunks "
    "via [`push_pcm_i16`] / [`push_pcm_f32`] and read the\nreturned `list[Detection]` for "
    "any threshold crossings.\n\nConfiguration knobs (`threshold`, `cooldown_frames`) are "
    "mutable\nproperties \u2014 change them at any time, including between chunks.";

inline constexpr const char* FROM_PATH =
    "from_path(path)\n--\n\nOpen the SDK's currently-bundled wake-word model from a file\n"
    "path. The file must be a `.qelt v2` artefact (AES-256-GCM\nencrypted) downloaded from "
    "quelt-wake-word-models.";

inline constexpr const char* FROM_BYTES =
    "from_bytes(bytes)\n--\n\nConstruct from raw `.qelt` bytes. Useful if the model is\n"
    "embedded as a Python resource, downloaded over the network, or\nloaded from anywhere "
    "that's not a regular file.";

inline constexpr const char* PUSH_PCM_I16 =
    "push_pcm_i16($self, pcm)\n--\n\nPush a chunk of i16 PCM (mono, 16 kHz, native endian). "
    "Returns\nthe list of detections that crossed threshold *during* this\nchunk. The list "
    "is empty most of the time \u2014 that's the normal\n\"no wake-phrase heard\" state.";

inline constexpr const char* PUSH_PCM_F32 =
    "push_pcm_f32($self, pcm)\n--\n\nPush a chunk of f32 PCM in `[-1, 1]` (mono, 16 kHz). "
    "Otherwise\nidentical to [`push_pcm_i16`].";

inline constexpr const char* CURRENT_SCORE =
    "current_score($self)\n--\n\nLatest sigmoid score (0..1). Returns 0.5 before any frame "
    "has\nbeen emitted (matches the C ABI's default).";

inline constexpr const char* RESET =
    "reset($self)\n--\n\nWipe accumulated state (FIFO buffers, pre-emph carry, rolling\npool, "
    "cooldown, frame counter). Subsequent pushes behave as if\nfrom a fresh session.";

inline constexpr const char* THRESHOLD =
    "Sigmoid-space detection threshold. Range `[0, 1]`. Default is\n0.9 (deployment baseline "
    "from v6 sweep \u2014 precision 0.993,\nrecall 0.982 on the wake-word test set).";

inline constexpr const char* COOLDOWN_FRAMES =
    "Post-detection cooldown in frames (1 frame = 10 ms). Default\n100 = 1.0 s. Prevents "
    "stuttering on a long-ish wake phrase\nthat crosses threshold across many consecutive "
    "frames.";

inline constexpr const char* DETECTION =
    "One wake-word detection event.\n\nIts shape and field names match the "
    "`WakeWordDetection` record of the Android and iOS SDKs, with the same names and the "
    "same units.";

inline constexpr const char* FRAME_INDEX =
    "0-based frame index since session start (or last `reset`). One\nframe = 10 ms at "
    "16 kHz.";

inline constexpr const char* TIMESTAMP_SEC =
    "Seconds since session start at the detection frame's start.";

inline constexpr const char* SCORE =
    "Sigmoid score in `[0, 1]`. Caller can read this directly\nwithout re-running sigmoid on "
    "a logit.";

}  // namespace quelt::python::docs
