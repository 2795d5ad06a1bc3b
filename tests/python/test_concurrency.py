# Concurrency and borrowing: Python code that runs in the middle of a push (an element's
# __index__ or __float__) and reaches the same engine gets RuntimeError, whether it runs on
# the pushing thread or on another one; distinct engines work side by side on threads.
import array
import random
import threading

import pytest

from quelt_support import every_frame, trace

SILENCE = [0] * 1600


class Hook:
    """An element whose conversion runs `action` once and records what it raised."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value
        self.error = None

    def _run(self):
        try:
            self.action()
        except Exception as error:  # noqa: BLE001: recorded for the test
            self.error = error

    def __index__(self):
        self._run()
        return self.value

    def __float__(self):
        self._run()
        return float(self.value)


def _set(engine, name, value):
    return lambda: setattr(engine, name, value)


@pytest.mark.parametrize("method", ["push_pcm_i16", "push_pcm_f32"])
def test_reentry_during_conversion(make_engine, method):
    engine = make_engine()
    attempts = {
        "Already borrowed": [
            lambda: engine.push_pcm_i16([0]), lambda: engine.push_pcm_f32([0.0]),
            engine.reset, _set(engine, "threshold", 0.5), _set(engine, "cooldown_frames", 5),
        ],
        "Already mutably borrowed": [
            engine.current_score, lambda: engine.threshold, lambda: engine.cooldown_frames,
        ],
    }
    for message, actions in attempts.items():
        for action in actions:
            hook = Hook(action)
            getattr(engine, method)([0, hook, 0])
            assert isinstance(hook.error, RuntimeError), action
            assert str(hook.error) == message
    # The refused calls changed nothing, and the borrow was given back.
    assert engine.threshold == 0.8999999761581421 and engine.cooldown_frames == 100
    engine.threshold = 0.0
    engine.cooldown_frames = 0
    reference = every_frame(make_engine)
    reference.push_pcm_i16([0] * (3 * 13 * 2))
    assert trace(engine.push_pcm_i16(SILENCE)) == trace(reference.push_pcm_i16(SILENCE))


def test_borrow_released_after_failed_push(engine):
    with pytest.raises(OverflowError):
        engine.push_pcm_i16([Hook(lambda: None, 1 << 20)])
    with pytest.raises(TypeError):
        engine.push_pcm_f32("text")
    engine.threshold = 0.5  # would be "Already borrowed" if a failed push kept its borrow
    assert engine.current_score() > 0


def test_reentry_from_another_thread(make_engine):
    engine = make_engine()
    inside = threading.Event()
    release = threading.Event()
    seen = {}

    def block():
        inside.set()
        release.wait(10)  # lets the other thread run while the push is converting

    def intruder():
        inside.wait(10)
        for name, action in (("push", lambda: engine.push_pcm_i16([0])),
                             ("score", engine.current_score),
                             ("set", _set(engine, "cooldown_frames", 1))):
            try:
                action()
                seen[name] = "ran"
            except RuntimeError as error:
                seen[name] = str(error)
        release.set()

    other = threading.Thread(target=intruder)
    other.start()
    engine.push_pcm_i16([0, Hook(block), 0])
    other.join(10)
    assert seen == {"push": "Already borrowed", "score": "Already mutably borrowed",
                    "set": "Already borrowed"}
    assert engine.cooldown_frames == 100


def _noise(seed, n):
    rng = random.Random(seed)
    return array.array("h", (rng.randint(-9000, 8999) for _ in range(n)))


def test_engines_on_several_threads(make_engine):
    audio = [_noise(seed, 5000) for seed in range(4)]
    expected = [trace(every_frame(make_engine).push_pcm_i16(a)) for a in audio]
    engines = [every_frame(make_engine) for _ in audio]  # created here, used elsewhere
    results = [None] * len(audio)

    def work(i):
        out = []
        for start in range(0, len(audio[i]), 321):
            out += trace(engines[i].push_pcm_i16(audio[i][start:start + 321]))
        results[i] = out

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(audio))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == expected
