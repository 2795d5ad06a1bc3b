"""Tests of the quelt-wake-word command-line tool on audio generated here.

The same continuous test signal is written as a 16 kHz mono WAV (16- and 24-bit), as raw
s16le, and as a 44.1 kHz stereo WAV. The 16 kHz files must give exactly the scores that
the engine gives for the raw samples pushed whole (tests/cli/reference_scores.cc); the 44.1 kHz
stereo file, after downmix and resampling, scores close to them. Errors must come out as
readable messages with the documented exit codes, never as a crash.

Several models at once must each score as they do alone, and the lines that name their
wake words must come in time order, then in the models' order.

Usage: test_cli.py --cli PATH --reference PATH --make-model PATH --models DIR --work DIR
                   [--emulator COMMAND] [unittest args]
--make-model is make-random-model, which writes models with a given config. --emulator runs
the programs through COMMAND (a cross build's qemu-aarch64 and its options, split as a shell
would).
"""

import argparse
import collections
import csv
import json
import math
import os
import shlex
import struct
import subprocess
import sys
import unittest
import wave

ARGS = None
REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

EXIT_OK, EXIT_AUDIO, EXIT_USAGE, EXIT_MODEL, EXIT_OUTPUT = 0, 1, 2, 3, 4
SECONDS = 3.0


def signal(t):
    """A deterministic, band-limited (< 5 kHz) 'voice': a gliding harmonic tone whose
    loudness swells and pauses, so that frames differ from one another."""
    f0 = 140.0 + 60.0 * math.sin(2 * math.pi * 0.7 * t)
    phase = 2 * math.pi * (140.0 * t - 60.0 / (2 * math.pi * 0.7) * math.cos(2 * math.pi * 0.7 * t))
    envelope = max(0.0, math.sin(2 * math.pi * 0.8 * t)) ** 2
    voice = sum(math.sin(k * phase) / k for k in range(1, 12) if k * f0 < 5000.0)
    # A quiet bed of tones up to 7.4 kHz stands for room noise: every mel band then holds
    # energy well above the 16-bit quantisation floor, which differs between sample rates.
    bed = sum(math.sin(2 * math.pi * f * t + p) for f, p in BED) * 0.004
    return 0.3 * envelope * voice + bed


BED = [(110.0 + 243.0 * k, 2.4 * k * k) for k in range(30)]


def samples(rate, seconds=SECONDS):
    return [signal(i / rate) for i in range(int(rate * seconds))]


def to_int(x, bits):
    full = (1 << (bits - 1)) - 1
    return max(-full - 1, min(full, int(round(x * full))))


def write_wav(path, rate, channels, frames, sampwidth=2):
    """frames: list of per-frame tuples (one value per channel) in [-1, 1]."""
    bits = 8 * sampwidth
    data = bytearray()
    for frame in frames:
        for value in frame:
            data += to_int(value, bits).to_bytes(sampwidth, "little", signed=True)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(sampwidth)
        w.setframerate(rate)
        w.writeframes(bytes(data))


def f32(x):
    """x rounded to a 32-bit float, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Fixture:
    """Files shared by the tests, made once."""

    made = False

    @classmethod
    def make(cls):
        if cls.made:
            return
        work = ARGS.work
        os.makedirs(work, exist_ok=True)
        mono = samples(16000)
        cls.pcm16 = [to_int(x, 16) for x in mono]
        cls.raw = os.path.join(work, "voice.raw")
        with open(cls.raw, "wb") as f:
            f.write(b"".join(v.to_bytes(2, "little", signed=True) for v in cls.pcm16))
        cls.wav16 = os.path.join(work, "voice_16k_mono.wav")
        write_wav(cls.wav16, 16000, 1, [(v / 32767.0,) for v in cls.pcm16])
        # 24-bit samples that are the 16-bit ones shifted up: the same values once scaled.
        cls.wav24 = os.path.join(work, "voice_16k_mono_24bit.wav")
        with wave.open(cls.wav24, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(3)
            w.setframerate(16000)
            w.writeframes(b"".join((v * 256).to_bytes(3, "little", signed=True) for v in cls.pcm16))
        # Stereo at 44.1 kHz: the channels differ, but their mean is the signal.
        cls.wav44 = os.path.join(work, "voice_44k_stereo.wav")
        other = [0.2 * math.sin(2 * math.pi * 1000.0 * i / 44100) for i in range(int(44100 * SECONDS))]
        write_wav(cls.wav44, 44100, 2,
                  [(x + d, x - d) for x, d in zip(samples(44100), other)])
        cls.model = os.path.join(ARGS.models, "random.qelt")
        cls.model_fp16 = os.path.join(ARGS.models, "random_fp16.qelt")
        cls.build_fails = os.path.join(ARGS.models, "build_fails.qelt")
        cls.bad_magic = os.path.join(work, "bad_magic.qelt")
        with open(cls.model, "rb") as f:
            good = bytearray(f.read())
        good[0:4] = b"\x7fELF"
        with open(cls.bad_magic, "wb") as f:
            f.write(good)
        cls.empty = os.path.join(work, "empty.qelt")
        open(cls.empty, "wb").close()
        cls.reference = reference_scores(cls.model, cls.raw)
        # A second model with a wake word of its own and one that shares it.
        cls.nova = make_model("hey_nova.qelt", 11, '{"wake_word": "hey nova", "sample_rate": 16000}')
        cls.nova_twin = make_model("nova_twin.qelt", 12, '{"wake_word": "hey nova"}')
        cls.nova_reference = reference_scores(cls.nova, cls.raw)
        cls.made = True


def make_model(name, seed, config):
    path = os.path.join(ARGS.work, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run([*ARGS.emulator, ARGS.make_model, "--seed", str(seed), "--config", config,
                    "-o", path], check=True)
    return path


def reference_scores(model, raw):
    out = subprocess.run([*ARGS.emulator, ARGS.reference, model, raw],
                         capture_output=True, text=True, check=True)
    return out.stdout.split()


def run_cli(*args, stdin=None):
    result = subprocess.run([*ARGS.emulator, ARGS.cli, *args], input=stdin, capture_output=True)
    # A negative code is a signal: the tool crashed.
    assert result.returncode >= 0, f"killed by signal {-result.returncode}: {args}"
    result.out = result.stdout.decode()
    result.err = result.stderr.decode()
    return result


Row = collections.namedtuple("Row", "file wake_word frame time score")


def read_scores(path):
    with open(path, newline="") as f:
        reader = csv.reader(f)
        header = next(reader)
        assert header == ["file", "wake_word", "frame_index", "time_sec", "score"], header
        return [Row(*row) for row in reader]


class Scores(unittest.TestCase):
    def setUp(self):
        Fixture.make()

    def scores_of(self, *inputs, stdin=None, lead="0", tail="0"):
        """Scores of the inputs alone (no silence around them) unless lead or tail say
        otherwise (None: the tool's default)."""
        csv = os.path.join(ARGS.work, "scores.csv")
        extra = ["--lead", lead] if lead is not None else []
        extra += ["--tail", tail] if tail is not None else []
        result = run_cli("detect", "--model", Fixture.model, *extra, "--scores", csv, *inputs,
                         stdin=stdin)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        return read_scores(csv)

    def test_trailing_silence_is_zeros_after_the_input(self):
        padded = os.path.join(ARGS.work, "padded.raw")
        with open(Fixture.raw, "rb") as f, open(padded, "wb") as g:
            g.write(f.read() + bytes(2 * 16000))
        want = [r[2:] for r in self.scores_of(padded)]
        # By default one second of silence follows each input: 100 more frames, scored as
        # if the file itself went on with zeros.
        self.assertEqual([r[2:] for r in self.scores_of(Fixture.raw, tail=None)], want)
        self.assertEqual(len(want), len(Fixture.reference) + 100)
        half = self.scores_of(Fixture.raw, tail="0.5")
        self.assertEqual([r[2:] for r in half], want[: len(Fixture.reference) + 50])

    def test_leading_silence_is_zeros_before_the_input_and_not_reported(self):
        with open(Fixture.raw, "rb") as f:
            raw = f.read()
        frames = len(Fixture.reference)
        for lead, skipped in ((None, 0), ("0.25", 25), ("1", 100)):
            with self.subTest(lead=lead):
                padded = os.path.join(ARGS.work, "lead.raw")
                with open(padded, "wb") as g:
                    g.write(bytes(2 * 160 * skipped) + raw)
                want = [r.score for r in self.scores_of(padded)][skipped:]
                rows = self.scores_of(Fixture.raw, lead=lead)
                # The input's own frames, numbered from its start, scored after the silence.
                self.assertEqual([r.score for r in rows], want)
                self.assertEqual([int(r.frame) for r in rows], list(range(frames)))
                self.assertEqual([r.time for r in rows], [f"{i / 100:.2f}" for i in range(frames)])
        self.assertNotEqual(want, Fixture.reference, "the silence should change the state")
        # Detections are numbered the same way; none comes from the silence itself.
        result = run_cli("detect", "--model", Fixture.model, "--threshold=0", "--cooldown=0",
                         "--lead=1", "--tail=0", "--json", Fixture.wav16)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        got = [json.loads(line)["frame_index"] for line in result.out.splitlines()]
        self.assertEqual(got, list(range(frames)))

    def test_16k_mono_gives_exactly_the_library_scores(self):
        frames = (len(Fixture.pcm16) - 400) // 160 + 1
        self.assertEqual(len(Fixture.reference), frames)
        for path in (Fixture.wav16, Fixture.wav24, Fixture.raw):
            with self.subTest(path=os.path.basename(path)):
                rows = self.scores_of(path)
                self.assertEqual([r.score for r in rows], Fixture.reference)
                self.assertEqual([int(r.frame) for r in rows], list(range(frames)))
                self.assertEqual([r.time for r in rows], [f"{i / 100:.2f}" for i in range(frames)])
                self.assertTrue(all(r.file == path for r in rows))

    def test_standard_input_gives_the_same_scores(self):
        with open(Fixture.raw, "rb") as f:
            raw = f.read()
        rows = self.scores_of("-", stdin=raw)
        self.assertEqual([r.score for r in rows], Fixture.reference)
        self.assertEqual(rows[0].file, "-")
        # A trailing half sample is dropped, not misread.
        rows = self.scores_of("-", stdin=raw + b"\x01")
        self.assertEqual([r.score for r in rows], Fixture.reference)

    def test_44k_stereo_scores_close_to_16k_mono(self):
        rows = self.scores_of(Fixture.wav44)
        ours = [float(r.score) for r in rows]
        ref = [float(s) for s in Fixture.reference]
        # The resampler's length may differ by a sample or so: at most one frame.
        self.assertLessEqual(abs(len(ours) - len(ref)), 1)
        n = min(len(ours), len(ref))
        diffs = [abs(a - b) for a, b in zip(ours[:n], ref[:n])]
        spread = max(ref) - min(ref)
        self.assertGreater(spread, 0.01, "the test signal should move the score")
        # Measured: max 0.0016, mean 0.0007 with a score range of 0.046 (the pool averages
        # 2 s of frames, so small per-frame differences add up as real audio fills it).
        self.assertLess(max(diffs), 0.01, f"max diff {max(diffs)}")
        self.assertLess(sum(diffs) / n, 0.0025)

    def test_inputs_are_separate_streams(self):
        rows = self.scores_of(Fixture.wav16, Fixture.raw)
        first = [r for r in rows if r.file == Fixture.wav16]
        second = [r for r in rows if r.file == Fixture.raw]
        self.assertEqual([r[2:] for r in first], [r[2:] for r in second])


class Detections(unittest.TestCase):
    def setUp(self):
        Fixture.make()

    def test_text_lines(self):
        # Threshold 0 with the default cooldown of 100 frames: frames 0, 101, 202.
        result = run_cli("detect", "--model", Fixture.model, "--threshold", "0", "--lead", "0",
                         "--tail", "0", Fixture.wav16)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        lines = result.out.splitlines()
        self.assertEqual(len(lines), 3)
        for line, frame in zip(lines, (0, 101, 202)):
            path, word, time, score = line.split("\t")
            self.assertEqual(path, Fixture.wav16)
            # A model whose config names no word goes by its file name.
            self.assertEqual(word, "random")
            self.assertEqual(time, f"{frame / 100:.2f}")
            self.assertAlmostEqual(float(score), float(Fixture.reference[frame]), places=4)

    def test_json_lines(self):
        result = run_cli("detect", "--model", Fixture.model, "--threshold=0", "--cooldown=0",
                         "--lead=0", "--tail=0", "--json", Fixture.wav16)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        lines = [json.loads(line) for line in result.out.splitlines()]
        self.assertEqual(len(lines), len(Fixture.reference))
        for i, d in enumerate(lines):
            self.assertEqual(list(d), ["file", "wake_word", "frame_index", "time_sec", "score"])
            self.assertEqual(d["file"], Fixture.wav16)
            self.assertEqual(d["wake_word"], "random")
            self.assertEqual(d["frame_index"], i)
            self.assertEqual(d["time_sec"], i / 100)
            # The score is the library's float, exactly.
            self.assertEqual(f32(d["score"]), f32(float(Fixture.reference[i])))

    def test_threshold_and_cooldown_gate(self):
        scores = [f32(float(s)) for s in Fixture.reference]
        median = sorted(Fixture.reference, key=float)[len(scores) // 2]
        for threshold, cooldown in (("0.9", None), ("1", "0"), (median, "7"), (median, "0")):
            with self.subTest(threshold=threshold, cooldown=cooldown):
                extra = ["--cooldown", cooldown] if cooldown else []
                result = run_cli("detect", "--model", Fixture.model, "--threshold", threshold,
                                 *extra, "--lead", "0", "--tail", "0", "--json",
                                 Fixture.wav16)
                self.assertEqual(result.returncode, EXIT_OK, result.err)
                got = [json.loads(line)["frame_index"] for line in result.out.splitlines()]
                self.assertEqual(got, gate(scores, threshold, int(cooldown or 100)))


def gate(scores, threshold, cooldown):
    """The frames that detect: the threshold-and-cooldown gate replayed on float scores."""
    detected, remaining = [], 0
    for i, score in enumerate(scores):
        if remaining > 0:
            remaining -= 1
        elif score >= f32(float(threshold)):
            detected.append(i)
            remaining = cooldown
    return detected


class SeveralModels(unittest.TestCase):
    """Every --model listens to the same input; lines name the wake words."""

    def setUp(self):
        Fixture.make()

    def test_each_model_scores_as_it_does_alone(self):
        csv_path = os.path.join(ARGS.work, "both.csv")
        alone = {}
        for name, model in (("random", Fixture.model), ("hey nova", Fixture.nova)):
            result = run_cli("detect", "--model", model, "--scores", csv_path, Fixture.wav16,
                             Fixture.raw)
            self.assertEqual(result.returncode, EXIT_OK, result.err)
            alone[name] = read_scores(csv_path)
            self.assertEqual({r.wake_word for r in alone[name]}, {name})
        # With the default silence before and after each input, two inputs in a row.
        result = run_cli("detect", "--model", Fixture.model, "--model", Fixture.nova,
                         "--scores", csv_path, Fixture.wav16, Fixture.raw)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        rows = read_scores(csv_path)
        for name in alone:
            self.assertEqual([r for r in rows if r.wake_word == name], alone[name])
        # By input, then frame, then model.
        order = {"random": 0, "hey nova": 1}
        inputs = {Fixture.wav16: 0, Fixture.raw: 1}
        keys = [(inputs[r.file], int(r.frame), order[r.wake_word]) for r in rows]
        self.assertEqual(keys, sorted(keys))
        self.assertEqual(len(rows), len(alone["random"]) + len(alone["hey nova"]))

    def test_second_model_gives_exactly_its_library_scores(self):
        csv_path = os.path.join(ARGS.work, "both.csv")
        result = run_cli("detect", "--model", Fixture.model, "--model", Fixture.nova, "--lead",
                         "0", "--tail", "0", "--scores", csv_path, Fixture.raw)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        rows = read_scores(csv_path)
        self.assertEqual([r.score for r in rows if r.wake_word == "hey nova"],
                         Fixture.nova_reference)
        self.assertEqual([r.score for r in rows if r.wake_word == "random"], Fixture.reference)
        self.assertNotEqual(Fixture.nova_reference, Fixture.reference)

    def expected_detections(self, threshold, cooldown):
        """(frame, word, score) of both models on wav16 (no silence around it), in time
        order, then model order."""
        events = []
        for order, (word, reference) in enumerate(
                (("random", Fixture.reference), ("hey nova", Fixture.nova_reference))):
            scores = [f32(float(s)) for s in reference]
            events += [(i, order, word, scores[i]) for i in gate(scores, threshold, cooldown)]
        return [(frame, word, score) for frame, _, word, score in sorted(events)]

    def test_detection_lines_in_time_then_model_order(self):
        # The lower of the two models' medians with no cooldown: both detect, some frames in
        # both models and some in one only.
        threshold = min((sorted(r, key=float)[len(r) // 2]
                         for r in (Fixture.reference, Fixture.nova_reference)), key=float)
        want = self.expected_detections(threshold, 0)
        self.assertEqual({w for _, w, _ in want}, {"random", "hey nova"})
        frames = [f for f, _, _ in want]
        self.assertLess(len(set(frames)), len(frames), "some frame should detect in both")
        common = ["detect", "--model", Fixture.model, "--model", Fixture.nova, "--threshold",
                  threshold, "--cooldown", "0", "--lead", "0", "--tail", "0"]
        text = run_cli(*common, Fixture.wav16)
        self.assertEqual(text.returncode, EXIT_OK, text.err)
        got = []
        for line in text.out.splitlines():
            path, word, time, score = line.split("\t")
            self.assertEqual(path, Fixture.wav16)
            got.append((time, word, score))
        self.assertEqual(got, [(f"{f / 100:.2f}", w, f"{s:.4f}") for f, w, s in want])
        js = run_cli(*common, "--json", Fixture.wav16)
        self.assertEqual(js.returncode, EXIT_OK, js.err)
        got = [json.loads(line) for line in js.out.splitlines()]
        self.assertEqual([(d["frame_index"], d["wake_word"], f32(d["score"])) for d in got], want)

    def test_models_that_share_a_word_are_named_by_file(self):
        result = run_cli("detect", "--model", Fixture.nova, "--model", Fixture.model,
                         "--model", Fixture.nova_twin, "--threshold", "0", "--lead", "0",
                         "--tail", "0", Fixture.wav16)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        words = [line.split("\t")[1] for line in result.out.splitlines()]
        # Frames 0, 101 and 202 for each model, in the models' order.
        self.assertEqual(words, [f"hey nova ({Fixture.nova})", "random",
                                 f"hey nova ({Fixture.nova_twin})"] * 3)

    def test_a_broken_model_among_several_is_named(self):
        missing = os.path.join(ARGS.work, "no_such_model.qelt")
        for models in ((Fixture.model, missing), (missing, Fixture.model),
                       (Fixture.nova, Fixture.bad_magic)):
            with self.subTest(models=models):
                args = [a for m in models for a in ("--model", m)]
                result = run_cli("detect", *args, "--threshold", "0", Fixture.wav16)
                self.assertEqual(result.returncode, EXIT_MODEL, result.err)
                broken = missing if missing in models else Fixture.bad_magic
                self.assertIn(broken, result.err)
                self.assertEqual(result.out, "")

    def test_bundled_model_detects_computer(self):
        sample = os.path.join(REPO, "models", "samples", "computer.wav")
        result = run_cli("detect", sample)
        self.assertEqual(result.returncode, EXIT_OK, result.err)
        lines = [line.split("\t") for line in result.out.splitlines()]
        self.assertTrue(lines, "the bundled model should hear its sample")
        self.assertTrue(all(f[:2] == [sample, "computer"] for f in lines), lines)


class Errors(unittest.TestCase):
    def setUp(self):
        Fixture.make()

    def assert_fails(self, result, code, *fragments):
        self.assertEqual(result.returncode, code, result.err)
        for fragment in fragments:
            self.assertIn(fragment, result.err)

    def test_model_errors_are_rendered(self):
        missing = os.path.join(ARGS.work, "no_such_model.qelt")
        self.assert_fails(run_cli("detect", "--model", missing, Fixture.wav16), EXIT_MODEL,
                          f"cannot open {missing}: No such file or directory")
        self.assert_fails(run_cli("detect", "--model", ARGS.work, Fixture.wav16), EXIT_MODEL,
                          f"cannot open {ARGS.work}: Is a directory")
        self.assert_fails(run_cli("detect", "--model", Fixture.bad_magic, Fixture.wav16),
                          EXIT_MODEL, ".qelt deserialize failed: FormatBadMagic { found: 1179403647 }")
        self.assert_fails(run_cli("detect", "--model", Fixture.empty, Fixture.wav16), EXIT_MODEL,
                          "FormatTruncated { offset: 0, needed: 64, actual: 0 }")
        self.assert_fails(run_cli("detect", "--model", Fixture.build_fails, Fixture.wav16),
                          EXIT_MODEL, "model build failed: Core(MissingTensor { name: ")

    def test_bundled_model_is_the_default(self):
        # Run from the build tree, the tool finds the source tree's bundled model.
        result = run_cli("detect", Fixture.wav16)
        self.assertEqual(result.returncode, EXIT_OK, result.err)

    def test_unreadable_audio(self):
        junk = os.path.join(ARGS.work, "junk.wav")
        with open(junk, "wb") as f:
            f.write(b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk")
        missing = os.path.join(ARGS.work, "missing.wav")
        # The readable input is still scored.
        result = run_cli("detect", "--model", Fixture.model, "--threshold", "0", "--lead", "0",
                         "--tail", "0", junk, missing, Fixture.wav16)
        self.assert_fails(result, EXIT_AUDIO, f"cannot read audio {junk}: ",
                          f"cannot read audio {missing}: ")
        self.assertEqual(len(result.out.splitlines()), 3)

    def test_bad_command_lines(self):
        model = ["--model", Fixture.model]
        cases = [
            ([], "no command"),
            (["listen"], "unknown command 'listen'"),
            (["detect", *model], "no input"),
            (["detect", *model, "--volume", "3", Fixture.wav16], "unknown option '--volume'"),
            (["detect", *model, "--threshold"], "--threshold needs a value"),
            (["detect", *model, "--threshold", "1.5", Fixture.wav16], "must be in [0, 1]"),
            (["detect", *model, "--threshold", "nan", Fixture.wav16], "must be in [0, 1]"),
            (["detect", *model, "--threshold", "-0.1", Fixture.wav16], "must be in [0, 1]"),
            (["detect", *model, "--threshold", "0.5x", Fixture.wav16], "not a number"),
            (["detect", *model, "--cooldown", "-1", Fixture.wav16], "not a whole number"),
            (["detect", *model, "--cooldown", "1e3", Fixture.wav16], "not a whole number"),
            (["detect", *model, "--cooldown", "18446744073709551616", Fixture.wav16], "too large"),
            (["detect", *model, "--json=yes", Fixture.wav16], "--json takes no value"),
            (["detect", *model, "--tail", "-1", Fixture.wav16], "must be in [0, 60] seconds"),
            (["detect", *model, "--tail", "inf", Fixture.wav16], "must be in [0, 60] seconds"),
            (["detect", *model, "--tail", "1s", Fixture.wav16], "not a number of seconds"),
            (["detect", *model, "--lead", "61", Fixture.wav16], "--lead must be in [0, 60]"),
            (["detect", *model, "--lead=", Fixture.wav16], "--lead: not a number of seconds"),
            (["info"], "info takes one model file"),
        ]
        for args, fragment in cases:
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assert_fails(result, EXIT_USAGE, fragment, "usage:")
                self.assertEqual(result.out, "")

    def test_unwritable_scores_file(self):
        csv = os.path.join(ARGS.work, "no_such_dir", "scores.csv")
        self.assert_fails(run_cli("detect", "--model", Fixture.model, "--scores", csv,
                                  Fixture.wav16), EXIT_OUTPUT, csv)


class Info(unittest.TestCase):
    def setUp(self):
        Fixture.make()

    def info(self, path):
        result = run_cli("info", path)
        fields = {}
        for line in result.out.splitlines():
            key, _, value = line.partition(":")
            fields[key] = value.strip()
        return result, fields

    def test_valid_models(self):
        for path, dtypes in ((Fixture.model, "fp32 (74)"), (Fixture.model_fp16, "fp16 (74)")):
            with self.subTest(path=os.path.basename(path)):
                result, fields = self.info(path)
                self.assertEqual(result.returncode, EXIT_OK, result.err)
                self.assertEqual(fields["format version"], "2.0")
                self.assertEqual(fields["tensors"], "74")
                self.assertEqual(fields["dtypes"], dtypes)
                self.assertGreater(int(fields["parameters"]), 0)
                self.assertTrue(fields["engine"].startswith("builds"), fields["engine"])
        # fp16 or fp32 storage, the same architecture.
        self.assertEqual(self.info(Fixture.model)[1]["parameters"],
                         self.info(Fixture.model_fp16)[1]["parameters"])

    def test_wake_word(self):
        cases = [
            ("hey_nova.qelt", '{"wake_word": "hey nova"}', "hey nova"),
            ("okay_tutor.qelt", '{"note": 1, "wake_word": "okay tutor", "x": [1]}', "okay tutor"),
            # Anything but a non-empty string: the file's name without .qelt.
            ("empty_word.qelt", '{"wake_word": ""}', "empty_word"),
            ("number_word.qelt", '{"wake_word": 5}', "number_word"),
            ("list_config.qelt", '["wake_word"]', "list_config"),
            ("null_config.qelt", "null", "null_config"),
            ("model.bin", "{}", "model.bin"),
            # Control characters would split a line: they become spaces.
            ("tab_word.qelt", '{"wake_word": "hey\\tnova\\n"}', "hey nova "),
            ("unicode.qelt", '{"wake_word": "h\\u00e9 nova"}', "h\u00e9 nova"),
        ]
        for name, config, word in cases:
            with self.subTest(config=config):
                path = make_model(os.path.join("info", name), 3, config)
                result, fields = self.info(path)
                self.assertEqual(result.returncode, EXIT_OK, result.err)
                # Not stripped: the trailing space of the tab case must show.
                line = [l for l in result.out.splitlines() if l.startswith("wake word:")]
                self.assertEqual(line, ["wake word:       " + word])
        # The bundled model names its word in its config.
        result, fields = self.info(os.path.join(REPO, "models", "computer.qelt"))
        self.assertEqual(fields["wake word"], "computer")

    def test_unusable_models(self):
        result, fields = self.info(Fixture.build_fails)
        self.assertEqual(result.returncode, EXIT_MODEL)
        self.assertEqual(fields["tensors"], "0")
        self.assertIn("cannot be built: Core(MissingTensor { name: ", fields["engine"])
        result, _ = self.info(Fixture.bad_magic)
        self.assertEqual(result.returncode, EXIT_MODEL)
        self.assertIn("deserialize failed: FormatBadMagic", result.err)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--reference", required=True)
    parser.add_argument("--make-model", required=True)
    parser.add_argument("--models", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--emulator", type=shlex.split, default=[])
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
