# The buffer fast path against the element path: for objects with a buffer (numpy arrays,
# array.array, bytes, bytearray, memoryview) a push must give exactly what converting the
# same elements one by one gives: the same frames and scores, or the same error. ElementSeq
# hands the push the same elements without the buffer.
import array

import numpy as np
import pytest

from quelt_support import ElementSeq, outcome

N = 2000  # 10 frames


def _random(rng, dtype):
    """Moderate values, so that small conversion faults change the scores, plus the
    type's extremes."""
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        data = rng.integers(max(info.min, -300), min(info.max, 300) + 1, N).astype(dtype)
        data[::97] = info.max
        data[1::97] = info.min
        return data
    return (rng.standard_normal(N) * 0.3).astype(dtype)


def _same(make_engine, pcm):
    for method in ("push_pcm_i16", "push_pcm_f32"):
        fast = outcome(make_engine, method, pcm)
        slow = outcome(make_engine, method, ElementSeq(pcm))
        assert fast == slow, (method, type(pcm), getattr(pcm, "dtype", None))


# numpy warns that its bool scalars will stop converting through __index__.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("dtype", [np.int16, np.int8, np.uint8, np.float32, np.float64,
                                   np.int32, np.uint16, np.int64, np.bool_, np.float16])
def test_numpy_arrays(make_engine, dtype):
    rng = np.random.default_rng(abs(hash(np.dtype(dtype).str)) % 1000)
    data = _random(rng, dtype) if dtype is not np.bool_ else rng.integers(0, 2, N) > 0
    _same(make_engine, data)
    _same(make_engine, data[::3])        # strided view
    _same(make_engine, data[::-1])       # negative stride
    _same(make_engine, data[:0])         # empty: fine even where elements would fail
    _same(make_engine, data.astype(data.dtype.newbyteorder()))  # foreign byte order


def test_numpy_shapes(make_engine):
    data = np.random.default_rng(1).integers(-3000, 3000, N).astype(np.int16)
    _same(make_engine, data.reshape(2, -1))   # rows are not samples
    _same(make_engine, data.reshape(-1, 1))   # rows of one
    _same(make_engine, np.array(5, np.int16))  # 0-d: not iterable


def test_float_specials(make_engine):
    specials = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 1e-45, -1e-40, 3.4e38, 1.0,
                         -1.0], np.float32)
    raw = np.tile(specials, N // len(specials))
    as_bits = raw.view(np.uint32).copy()
    as_bits[11] = 0x7F800001   # signalling NaN
    as_bits[12] = 0xFFC00123   # negative quiet NaN with payload
    _same(make_engine, as_bits.view(np.float32))
    wide = np.array([1e39, -1e39, 1e-50, 2.0 ** -149 * 1.5, np.nan] * (N // 5))
    _same(make_engine, wide)


def test_stdlib_buffers(make_engine):
    rng = np.random.default_rng(9)
    ints = rng.integers(-32768, 32768, N).tolist()
    small = rng.integers(0, 256, N).tolist()
    floats = (rng.standard_normal(N) * 0.2).tolist()
    for pcm in (array.array("h", ints), array.array("b", [v % 256 - 128 for v in small]),
                array.array("B", small), array.array("f", floats), array.array("d", floats),
                array.array("i", ints), array.array("h"), bytes(small), bytearray(small),
                memoryview(array.array("h", ints)), memoryview(bytes(small)),
                memoryview(array.array("h", ints))[::2],
                memoryview(array.array("h", ints)).cast("B"),
                memoryview(array.array("f", floats))):
        _same(make_engine, pcm)


def test_out_of_range_and_errors_match(make_engine):
    for pcm in (np.array([0, 1, 40000, 2] * 100, np.int32), np.array([0.5] * 10),
                array.array("d", [0.0, 1.0]), np.array([1, "x"], dtype=object),
                np.array([2 ** 63 - 1], np.int64)):
        _same(make_engine, pcm)


def test_subclasses_take_the_element_path(make_engine, engine):
    class Reversed(np.ndarray):
        def __iter__(self):
            return iter(np.asarray(self)[::-1].tolist())

    data = np.arange(-600, 600, dtype=np.int16)
    pushed = outcome(make_engine, "push_pcm_i16", data.view(Reversed))
    assert pushed == outcome(make_engine, "push_pcm_i16", data[::-1].tolist())

    class Doubling(array.array):
        def __iter__(self):
            return iter([2 * v for v in array.array.__iter__(self)])

    doubled = Doubling("h", range(-400, 400))
    assert outcome(make_engine, "push_pcm_i16", doubled) == \
        outcome(make_engine, "push_pcm_i16", list(range(-800, 800, 2)))


def test_released_memoryview(engine):
    view = memoryview(array.array("h", [1, 2, 3]))
    view.release()
    with pytest.raises(ValueError):
        engine.push_pcm_i16(view)
