# Pushing and conversion of `pcm`: what each push accepts, what it refuses and with which
# error, and that a refused push consumes nothing.
import array

import numpy as np
import pytest

from quelt_support import outcome, trace, every_frame

SILENCE = [0] * 1600


@pytest.mark.parametrize("method", ["push_pcm_i16", "push_pcm_f32"])
def test_refused_containers(engine, method, qww):
    push = getattr(engine, method)
    cases = [
        ("abc", "argument 'pcm': Can't extract `str` to `Vec`"),
        (5, "argument 'pcm': 'int' object cannot be converted to 'Sequence'"),
        (iter([1, 2]), "argument 'pcm': 'list_iterator' object cannot be converted to 'Sequence'"),
        ((x for x in [1]), "argument 'pcm': 'generator' object cannot be converted to 'Sequence'"),
        ({1, 2}, "argument 'pcm': 'set' object cannot be converted to 'Sequence'"),
        ({0: 1}, "argument 'pcm': 'dict' object cannot be converted to 'Sequence'"),
        (None, "argument 'pcm': 'NoneType' object cannot be converted to 'Sequence'"),
    ]
    for pcm, message in cases:
        with pytest.raises(TypeError) as info:
            push(pcm)
        assert str(info.value) == message

    class Text(str):
        pass

    with pytest.raises(TypeError, match="^argument 'pcm': Can't extract `str` to `Vec`$"):
        push(Text("x"))


@pytest.mark.parametrize("method", ["push_pcm_i16", "push_pcm_f32"])
def test_accepted_containers_give_the_same_samples(make_engine, method):
    samples = [(i * 37) % 200 - 100 for i in range(1200)]
    reference = outcome(make_engine, method, samples)
    assert reference[0] == "ok" and len(reference[1]) == 6
    for pcm in (tuple(samples), array.array("h", samples), array.array("l", samples),
                np.array(samples, dtype=np.int32), [np.int16(s) for s in samples],
                [True if s == 1 else s for s in samples]):
        assert outcome(make_engine, method, pcm) == reference, type(pcm)
    nonnegative = [abs(s) for s in samples]
    assert (outcome(make_engine, method, range(0, 1200, 1)[:0]) ==
            outcome(make_engine, method, []))
    assert outcome(make_engine, method, bytes(nonnegative)) == \
        outcome(make_engine, method, nonnegative)


def test_bytes_push_one_sample_per_byte(make_engine):
    assert outcome(make_engine, "push_pcm_i16", b"\x01\x02" + bytes(1600)) == \
        outcome(make_engine, "push_pcm_i16", [1, 2] + SILENCE)
    assert outcome(make_engine, "push_pcm_i16", bytearray(b"\xff" * 800)) == \
        outcome(make_engine, "push_pcm_i16", [255] * 800)


def test_empty_push_returns_an_empty_list(engine):
    before = engine.current_score()
    assert engine.push_pcm_i16([]) == []
    assert engine.push_pcm_f32(np.zeros(0, np.float32)) == []
    assert engine.current_score() == before


def test_i16_is_f32_scaled_by_two_to_the_minus_15(make_engine):
    rng = np.random.default_rng(3)
    pcm = rng.integers(-32768, 32768, 3000).astype(np.int16)
    as_i16 = outcome(make_engine, "push_pcm_i16", pcm.tolist())
    as_f32 = outcome(make_engine, "push_pcm_f32", (pcm.astype(np.float64) / 32768).tolist())
    assert as_i16 == as_f32 and len(as_i16[1]) == 17  # (3000 - 400) // 160 + 1


def test_i16_range_is_checked_per_element(engine, make_engine):
    for pcm in ([0, 40000], [-32769], np.array([0, 32768], np.int32)):
        with pytest.raises(OverflowError) as info:
            engine.push_pcm_i16(pcm)
        assert str(info.value) == "out of range integral type conversion attempted"
    # Beyond a C long the interpreter's own OverflowError passes through unprefixed.
    with pytest.raises(OverflowError) as info:
        engine.push_pcm_i16([2 ** 70])
    assert not str(info.value).startswith("argument")
    # The limits themselves are fine.
    engine.push_pcm_i16([-32768, 32767])


def test_failed_push_consumes_nothing(make_engine):
    touched = every_frame(make_engine)
    for bad in ([0] * 500 + [40000], [0] * 500 + [1.0], [0] * 500 + ["x"]):
        with pytest.raises((OverflowError, TypeError)):
            touched.push_pcm_i16(bad)
    with pytest.raises(TypeError):
        touched.push_pcm_f32([0.0] * 500 + [None])
    fresh = every_frame(make_engine)
    assert trace(touched.push_pcm_i16(SILENCE)) == trace(fresh.push_pcm_i16(SILENCE))


def test_non_integers_are_refused_for_i16(engine):
    for pcm in ([1.0], [np.float32(1)], ["1"], [None]):
        with pytest.raises(TypeError, match="^argument 'pcm': "):
            engine.push_pcm_i16(pcm)


def test_index_and_float_protocols(make_engine):
    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    class Float:
        def __init__(self, v):
            self.v = v

        def __float__(self):
            return self.v

    values = [5, -7, 300] * 200
    assert outcome(make_engine, "push_pcm_i16", [Index(v) for v in values]) == \
        outcome(make_engine, "push_pcm_i16", values)
    assert outcome(make_engine, "push_pcm_f32", [Float(v / 8) for v in values]) == \
        outcome(make_engine, "push_pcm_f32", [v / 8 for v in values])
    assert outcome(make_engine, "push_pcm_f32", [Index(v) for v in values]) == \
        outcome(make_engine, "push_pcm_f32", values)


def test_f32_narrows_without_range_check(make_engine):
    # 1e40 is beyond single precision: it becomes +inf, as pushing inf does.
    assert outcome(make_engine, "push_pcm_f32", [1e40] + [0.0] * 600) == \
        outcome(make_engine, "push_pcm_f32", [float("inf")] + [0.0] * 600)
    # Narrowing rounds to nearest: these doubles all land on the same float.
    x = float(np.float32(0.1))
    near = np.nextafter(x, 1.0)
    assert outcome(make_engine, "push_pcm_f32", [near] * 600) == \
        outcome(make_engine, "push_pcm_f32", [x] * 600)


def test_type_errors_from_elements_are_prefixed_keeping_their_cause(engine):
    class Raising:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

        __float__ = __index__

    cause = KeyError("root")
    error = TypeError("custom refusal")
    error.__cause__ = cause
    for method in ("push_pcm_i16", "push_pcm_f32"):
        with pytest.raises(TypeError) as info:
            getattr(engine, method)([0, Raising(error)])
        assert str(info.value) == "argument 'pcm': custom refusal"
        assert info.value is not error and info.value.__cause__ is cause

    class Special(TypeError):
        pass

    special = Special("own kind")
    with pytest.raises(Special) as info:
        engine.push_pcm_i16([Raising(special)])
    assert info.value is special  # subclasses pass unchanged
    for other in (ValueError("v"), OverflowError("o"), ZeroDivisionError("z")):
        with pytest.raises(type(other)) as info:
            engine.push_pcm_f32([Raising(other)])
        assert info.value is other


def test_errors_of_iteration_itself(engine):
    class BrokenIter:
        def __len__(self):
            raise RuntimeError("length is only a hint")

        def __getitem__(self, index):
            if index < 3:
                return 0
            if index == 3:
                raise ValueError("element 3")
            raise IndexError

    with pytest.raises(ValueError, match="^element 3$"):
        engine.push_pcm_i16(BrokenIter())

    class LyingLength:
        def __len__(self):
            return 10 ** 15  # must not be reserved

        def __getitem__(self, index):
            if index >= 480:
                raise IndexError
            return 0

    assert len(engine.push_pcm_f32(LyingLength())) == 0
