# The threshold and cooldown_frames properties: defaults, accepted values, refusals and
# their messages, and that a refused assignment keeps the old value.
import pytest

try:
    import numpy as np
except ImportError:  # the cross build's AArch64 interpreter has no numpy
    np = None

PREFIX = "quelt_wake_word: threshold must be in [0, 1], got "


def test_defaults(engine):
    assert engine.threshold == 0.8999999761581421
    assert type(engine.cooldown_frames) is int and engine.cooldown_frames == 100


@pytest.mark.parametrize("value, reads_back", [
    (0.5, 0.5), (0, 0.0), (1, 1.0), (True, 1.0), (0.0, 0.0), (1.0, 1.0),
    (1.00000001, 1.0),          # narrows to 1.0 first, then passes the check
    (-1e-50, -0.0),             # narrows to -0.0, which is not below 0
    *([(np.float32(0.25), 0.25), (np.float64(0.75), 0.75)] if np else []),
    (0.1, 0.10000000149011612),  # stored in single precision
])
def test_threshold_accepts(engine, value, reads_back):
    engine.threshold = value
    assert engine.threshold == reads_back
    assert str(engine.threshold) == str(reads_back)


@pytest.mark.parametrize("value, shown", [
    (1.5, "1.5"), (2, "2"), (-0.25, "-0.25"), (1e10, "10000000000"),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    (1e300, "inf"), (1.0000001, "1.0000001"), (-1e-30, "-0.000000000000000000000000000001"),
    # The shortest digits that read back, then zeros: not the float's exact digits
    # (3.4e38 is 339999995214436424907732413799364296704 exactly).
    (3.4e38, "340000000000000000000000000000000000000"), (1e20, "100000000000000000000"),
    (123456789.0, "123456790"), (1.7e10, "17000000000"), (-2.5e12, "-2500000000000"),
    (16777217.0, "16777216"), (1.25, "1.25"), (-1.5e-7, "-0.00000015"),
])
def test_threshold_refuses_out_of_range(engine, value, shown):
    engine.threshold = 0.25
    with pytest.raises(ValueError) as info:
        engine.threshold = value
    assert str(info.value) == PREFIX + shown
    assert engine.threshold == 0.25


def test_threshold_conversion_errors(engine):
    with pytest.raises(TypeError, match="^argument 'v': ") as info:
        engine.threshold = "0.5"
    with pytest.raises(TypeError, match="^argument 'v': "):
        engine.threshold = None
    with pytest.raises(OverflowError) as info:
        engine.threshold = 10 ** 400  # the interpreter's own error, not prefixed
    assert not str(info.value).startswith("argument")
    with pytest.raises(AttributeError) as info:
        del engine.threshold
    assert str(info.value) == "can't delete attribute"
    assert engine.threshold == 0.8999999761581421


@pytest.mark.parametrize("value, reads_back", [
    (0, 0), (1, 1), (True, 1), (2 ** 64 - 1, 2 ** 64 - 1),
    *([(np.uint64(7), 7), (np.int8(3), 3)] if np else []),
])
def test_cooldown_accepts(engine, value, reads_back):
    engine.cooldown_frames = value
    assert engine.cooldown_frames == reads_back


def test_cooldown_refusals(engine):
    for value in (-1, 2 ** 64, *([np.int64(-5)] if np else [])):
        with pytest.raises(OverflowError) as info:
            engine.cooldown_frames = value
        assert not str(info.value).startswith("argument")
    for value in (1.5, "3", None):
        with pytest.raises(TypeError, match="^argument 'v': "):
            engine.cooldown_frames = value
    with pytest.raises(AttributeError) as info:
        del engine.cooldown_frames
    assert str(info.value) == "can't delete attribute"
    assert engine.cooldown_frames == 100
