# The microphone example examples/python/listen.py, run as a user runs it: on raw PCM from
# a file and from standard input, with one model and with two, and on a stand-in for
# arecord that plays a sample and then goes on "recording" until Ctrl-C ends the example.
# What it prints is checked against detections taken from the module directly, with the
# whole padded recording pushed at once rather than in the example's 100 ms chunks.
import array
import os
import signal
import subprocess
import sys
import wave

import pytest

from quelt_wake_word import WakeWordEngine

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
EXAMPLE = os.path.join(REPO, "examples", "python", "listen.py")
BUNDLED = os.path.join(REPO, "models", "computer.qelt")
SAMPLE = os.path.join(REPO, "models", "samples", "computer.wav")
SILENCE = bytes(2 * 16000)  # 1 s


@pytest.fixture(scope="module")
def raw_sample(tmp_path_factory):
    """The bundled "computer" sample as raw s16le 16 kHz mono."""
    with wave.open(SAMPLE) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 16000)
        pcm = w.readframes(w.getnframes())
    path = tmp_path_factory.mktemp("listen") / "computer.raw"
    path.write_bytes(pcm)
    return path


def environment():
    env = dict(os.environ)
    module_dir = os.environ.get("QWW_PYTHON_MODULE_DIR")
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env


def run_example(*args, stdin=None):
    return subprocess.run([sys.executable, EXAMPLE, *args], input=stdin, capture_output=True,
                          env=environment(), timeout=120)


def expected_lines(models, pcm, threshold=None, cooldown=None, tail=True):
    """What the example should print: each model's detections over the recording (with a
    second of silence after it unless tail is False), in time order, then model order, the
    times counted from the recording's start."""
    heard = []
    audio = pcm + SILENCE if tail else pcm
    samples = array.array("h", audio)
    assert sys.byteorder == "little"
    for order, (name, path) in enumerate(models):
        engine = WakeWordEngine.from_path(path)
        if threshold is not None:
            engine.threshold = threshold
        if cooldown is not None:
            engine.cooldown_frames = cooldown
        heard += [(d.frame_index, order, name, d.score) for d in engine.push_pcm_i16(samples)]
    return [f"{name}\t{frame / 100:.2f}\t{score:.4f}"
            for frame, order, name, score in sorted(heard)]


def test_file_with_the_bundled_model_detects_computer(raw_sample):
    result = run_example("--model", BUNDLED, "--file", str(raw_sample))
    assert result.returncode == 0, result.stderr
    want = expected_lines([("computer", BUNDLED)], raw_sample.read_bytes())
    assert want, "the bundled model should hear its sample"
    assert result.stdout.decode().splitlines() == want
    # Without --model it finds the bundled model itself (here the source tree's copy, or
    # an installed one: named "computer" either way).
    result = run_example("--file", str(raw_sample))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode().splitlines()
    assert lines and all(line.startswith("computer\t") for line in lines), lines


def test_two_models_from_standard_input(raw_sample, model_path):
    pcm = raw_sample.read_bytes()
    # An odd trailing byte is half a sample: dropped, not misread.
    result = run_example("--model", BUNDLED, "--model", model_path, "--threshold", "0.5",
                         "--cooldown", "30", "--file", "-", stdin=pcm + b"\x01")
    assert result.returncode == 0, result.stderr
    want = expected_lines([("computer", BUNDLED), ("random", model_path)], pcm, 0.5, 30)
    assert {line.split("\t")[0] for line in want} == {"computer", "random"}
    assert result.stdout.decode().splitlines() == want


def test_bad_model_and_bad_file_are_reported(tmp_path):
    missing = str(tmp_path / "missing.qelt")
    result = run_example("--model", missing, "--file", "-", stdin=b"")
    assert result.returncode == 1
    assert missing in result.stderr.decode() and b"Traceback" not in result.stderr
    result = run_example("--model", BUNDLED, "--file", missing)
    assert result.returncode == 1
    assert missing in result.stderr.decode() and b"Traceback" not in result.stderr


def test_microphone_through_arecord_until_ctrl_c(raw_sample, tmp_path):
    """A stand-in arecord plays the sample, then delivers nothing more until it is stopped;
    the example must print the detections as they happen and end cleanly on SIGINT,
    taking its recorder with it."""
    fake = tmp_path / "bin" / "arecord"
    fake.parent.mkdir()
    pid_file, args_file = tmp_path / "arecord.pid", tmp_path / "arecord.args"
    fake.write_text(f"#!/bin/sh\necho $$ > {pid_file}\necho \"$@\" > {args_file}\n"
                    f"cat {raw_sample}\nexec sleep 600\n")
    fake.chmod(0o755)
    env = environment()
    env["PATH"] = f"{fake.parent}{os.pathsep}{env['PATH']}"
    # The real sounddevice would take the microphone instead of the stand-in.
    blocker = tmp_path / "block"
    blocker.mkdir()
    (blocker / "sounddevice.py").write_text("raise ImportError('not here')\n")
    env["PYTHONPATH"] = f"{blocker}{os.pathsep}{env.get('PYTHONPATH', '')}"
    listener = subprocess.Popen([sys.executable, EXAMPLE, "--model", BUNDLED, "--threshold",
                                 "0", "--cooldown", "50"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env)
    try:
        assert listener.stderr.readline() == b"listening (Ctrl-C stops)\n"
        # A live capture has no silence put around it.
        want = expected_lines([("computer", BUNDLED)], raw_sample.read_bytes(), 0.0, 50,
                              tail=False)
        # Printed as they happen: the recorder is still running.
        got = [listener.stdout.readline().decode().rstrip("\n") for _ in want]
        assert got == want
        listener.send_signal(signal.SIGINT)
        assert listener.wait(timeout=60) == 0
    finally:
        if listener.poll() is None:
            listener.kill()
            listener.wait()
    assert b"Traceback" not in listener.stderr.read()
    assert args_file.read_text().split() == ["-q", "-f", "S16_LE", "-r", "16000", "-c", "1",
                                             "-t", "raw"]
    recorder = int(pid_file.read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(recorder, 0)
