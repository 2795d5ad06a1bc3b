"""Conversion benchmark of the Python module: buffer path against element path.

Times the conversion of a 1 s chunk (16000 samples) of int16 and float32 numpy data, alone
(through the benchmark-only module quelt_conversion_bench, which runs the push's
conversion code and nothing else) and as a whole push into an engine. The element path is
reached by handing over the same array behind a plain sequence wrapper, whose iteration is
the array's own.

Usage (from the repository, after building with QWW_BUILD_PYTHON and QWW_BUILD_BENCHMARKS):
    /usr/bin/python3 benchmarks/python/bench_conversion.py build/ci/python [model.qelt]
The first argument is the folder holding the built modules; a model enables the push
figures.
"""
import array
import statistics
import sys
import timeit

import numpy as np

SAMPLES = 16000  # 1 s at 16 kHz


class ElementSeq:
    def __init__(self, obj):
        self._obj = obj

    def __len__(self):
        return len(self._obj)

    def __getitem__(self, index):
        return self._obj[index]

    def __iter__(self):
        return iter(self._obj)


def best_of(function, repeat=15):
    """Median and minimum per call, in microseconds."""
    number = max(1, int(0.02 / max(timeit.timeit(function, number=1), 1e-7)))
    times = [t / number * 1e6 for t in timeit.repeat(function, number=number, repeat=repeat)]
    return statistics.median(times), min(times)


def report(title, fast, slow):
    (fast_med, fast_min), (slow_med, slow_min) = best_of(fast), best_of(slow)
    print(f"{title:<34} buffer {fast_med:9.1f} us   element {slow_med:9.1f} us   "
          f"ratio {slow_med / fast_med:7.1f}x (min-based {slow_min / fast_min:.1f}x)")
    return slow_med / fast_med


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.path.insert(0, sys.argv[1])
    import quelt_conversion_bench as bench
    import quelt_wake_word

    rng = np.random.default_rng(0)
    chunk_i16 = rng.integers(-20000, 20000, SAMPLES).astype(np.int16)
    chunk_f32 = (chunk_i16 / 32768).astype(np.float32)
    wrapped_i16, wrapped_f32 = ElementSeq(chunk_i16), ElementSeq(chunk_f32)
    assert bench.convert_i16(chunk_i16) == bench.convert_i16(wrapped_i16) == SAMPLES

    print(f"quelt_wake_word {quelt_wake_word.__version__}, numpy {np.__version__}, "
          f"Python {sys.version.split()[0]}; 1 s chunk = {SAMPLES} samples")
    ratio = report("convert int16 -> push_pcm_i16", lambda: bench.convert_i16(chunk_i16),
                   lambda: bench.convert_i16(wrapped_i16))
    report("convert float32 -> push_pcm_f32", lambda: bench.convert_f32(chunk_f32),
           lambda: bench.convert_f32(wrapped_f32))
    chunk_array = array.array("h", chunk_i16.tobytes())
    report("convert int16 array.array", lambda: bench.convert_i16(chunk_array),
           lambda: bench.convert_i16(ElementSeq(chunk_array)))

    if len(sys.argv) > 2:
        engine = quelt_wake_word.WakeWordEngine.from_path(sys.argv[2])
        report("whole push_pcm_i16 (engine included)", lambda: engine.push_pcm_i16(chunk_i16),
               lambda: engine.push_pcm_i16(wrapped_i16))
        report("whole push_pcm_f32 (engine included)", lambda: engine.push_pcm_f32(chunk_f32),
               lambda: engine.push_pcm_f32(wrapped_f32))
        # The engine's own time for the chunk is the whole push less its conversion; the
        # buffer path should add well under 10% to it.
        for name, push, convert, chunk in (
                ("int16", engine.push_pcm_i16, bench.convert_i16, chunk_i16),
                ("float32", engine.push_pcm_f32, bench.convert_f32, chunk_f32)):
            whole, _ = best_of(lambda: push(chunk))
            conversion, _ = best_of(lambda: convert(chunk))
            own = whole - conversion
            print(f"{name}: engine's own time {own:9.1f} us per 1 s chunk; the buffer "
                  f"conversion adds {100 * conversion / own:.2f}% (goal: under 10%)")
    print(f"conversion speed-up, 1 s int16 numpy chunk: {ratio:.1f}x (goal: at least 20x)")


if __name__ == "__main__":
    main()
