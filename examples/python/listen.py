#!/usr/bin/env python3
"""Listens for one or more wake words with the quelt_wake_word module.

Audio is 16 kHz mono signed 16-bit PCM: from the microphone through python3-sounddevice
when it is importable, else through `arecord -q -f S16_LE -r 16000 -c 1 -t raw`; or, with
--file, raw s16le from a file or from standard input (-). Each model gets an engine of its
own, and every engine hears the same samples. Each detection prints one tab-separated line:

    wake word, time (s), score

in time order, then in --model order, as it happens. The module does not read a model's
config, so a model's wake word is its file's name without .qelt ("computer" for the bundled
model); models whose names collide are told apart as "name (path)". Ctrl-C stops it
(exit status 0).

Usage: listen.py [--model FILE]... [--threshold T] [--cooldown N] [--file PATH|-]
"""

import argparse
import array
import itertools
import os
import subprocess
import sys
import sysconfig

from quelt_wake_word import WakeWordEngine

RATE = 16000
CHUNK_SAMPLES = 1600  # 100 ms: a detection is printed at most this late
BUNDLED = os.path.join("share", "quelt_wake_word", "computer.qelt")


def bundled_model():
    """The bundled model where it is installed: by pip into this environment, by
    `cmake --install` under /usr/local or /usr, or in the source tree of this example."""
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.join(sysconfig.get_path("data"), BUNDLED),
                  os.path.join("/usr/local", BUNDLED), os.path.join("/usr", BUNDLED),
                  os.path.join(here, "..", "..", "models", "computer.qelt")]
    return next((os.path.normpath(p) for p in candidates if os.path.isfile(p)), None)


def names_of(paths):
    """Each model's file name without .qelt; "name (path)" where names collide."""
    stems = [os.path.basename(p) for p in paths]
    stems = [s[:-len(".qelt")] if s.endswith(".qelt") and s != ".qelt" else s for s in stems]
    return [f"{s} ({p})" if stems.count(s) > 1 else s for s, p in zip(stems, paths)]


def samples_of(data):
    """Little-endian s16 bytes (an even count) as an int16 array."""
    pcm = array.array("h", data)
    if sys.byteorder == "big":
        pcm.byteswap()
    return pcm


def chunks_from(stream):
    """Raw s16le chunks from a binary stream until it ends; a trailing odd byte is kept
    until its other half arrives (or dropped at the end)."""
    rest = b""
    while True:
        # What has arrived, up to a chunk: a pipe from a live capture is not waited on.
        data = stream.read1(2 * CHUNK_SAMPLES)
        if not data:
            return
        data = rest + data
        even = len(data) - len(data) % 2
        rest = data[even:]
        if even:
            yield samples_of(data[:even])


def microphone_chunks():
    """Chunks from the default capture device."""
    try:
        import sounddevice
    except ImportError:
        sounddevice = None
    if sounddevice is not None:
        with sounddevice.RawInputStream(samplerate=RATE, channels=1, dtype="int16",
                                        blocksize=CHUNK_SAMPLES) as stream:
            while True:
                data, _ = stream.read(CHUNK_SAMPLES)
                yield samples_of(bytes(data))
    command = ["arecord", "-q", "-f", "S16_LE", "-r", str(RATE), "-c", "1", "-t", "raw"]
    try:
        recorder = subprocess.Popen(command, stdout=subprocess.PIPE)
    except FileNotFoundError:
        raise SystemExit("listen.py: no microphone input: install python3-sounddevice "
                         "or alsa-utils (arecord), or pass --file")
    try:
        yield from chunks_from(recorder.stdout)
    finally:
        recorder.terminate()
        recorder.wait()
    if recorder.returncode not in (0, -15):
        raise SystemExit(f"listen.py: arecord failed (exit status {recorder.returncode})")


def listen(engines, names, chunks):
    """Pushes every chunk to every engine and prints the detections in time order, then
    model order."""
    for chunk in chunks:
        heard = []
        for order, engine in enumerate(engines):
            heard += [(d.frame_index, order, d.score) for d in engine.push_pcm_i16(chunk)]
        for frame, order, score in sorted(heard):
            print(f"{names[order]}\t{frame / 100:.2f}\t{score:.4f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description="Listen for wake words.")
    parser.add_argument("--model", action="append", metavar="FILE",
                        help="a .qelt model; again for more (default: the bundled model)")
    parser.add_argument("--threshold", type=float, help="detection threshold in [0, 1]")
    parser.add_argument("--cooldown", type=int, help="frames (10 ms) after a detection")
    parser.add_argument("--file", metavar="PATH",
                        help="raw s16le 16 kHz mono from PATH or - (standard input) "
                             "instead of the microphone")
    args = parser.parse_args()

    paths = args.model or [bundled_model()]
    if paths[0] is None:
        raise SystemExit("listen.py: no bundled model installed: pass --model FILE.qelt")
    engines = []
    for path in paths:
        try:
            engine = WakeWordEngine.from_path(path)
            if args.threshold is not None:
                engine.threshold = args.threshold
            if args.cooldown is not None:
                engine.cooldown_frames = args.cooldown
        except (OSError, ValueError, OverflowError) as error:
            raise SystemExit(f"listen.py: {path}: {error}")
        engines.append(engine)
    names = names_of(paths)

    if args.file is None:
        print("listening (Ctrl-C stops)", file=sys.stderr, flush=True)
        chunks = microphone_chunks()
    else:
        # A recording, not a live room: a second of silence after it, since a word's
        # score peaks a few tenths of a second after the word ends.
        try:
            stream = sys.stdin.buffer if args.file == "-" else open(args.file, "rb")
        except OSError as error:
            raise SystemExit(f"listen.py: {error}")
        silence = array.array("h", bytes(2 * RATE))
        chunks = itertools.chain(chunks_from(stream), [silence])
    try:
        listen(engines, names, chunks)
    except KeyboardInterrupt:
        # Ctrl-C is how a live listener ends: no traceback. arecord, in the same process
        # group, has had the signal too; closing its generator below reaps it.
        pass
    except BrokenPipeError:
        # The reader of the output went away (`listen.py | head -1`): nothing more to say,
        # and nothing for the interpreter to fail to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        if hasattr(chunks, "close"):
            chunks.close()
        if args.file not in (None, "-"):
            stream.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
