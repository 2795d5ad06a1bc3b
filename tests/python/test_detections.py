# Detections and scores: what a push reports, the Detection objects themselves, the score
# of a fresh engine, reset, and independence of chunking.
import numpy as np
import pytest

from quelt_support import bits, every_frame, trace

SILENCE = [0] * 1600


def test_every_frame_reported_at_threshold_zero(make_engine, qww):
    engine = every_frame(make_engine)
    found = engine.push_pcm_i16(SILENCE)
    assert isinstance(found, list) and len(found) == 8  # (1600 - 400) // 160 + 1
    assert all(type(d) is qww.Detection for d in found)
    assert [d.frame_index for d in found] == list(range(8))
    # A frame's start in seconds, computed in single precision: (160 k) / 16000.
    for d in found:
        assert d.timestamp_sec == float(np.float32(160 * d.frame_index) / np.float32(16000))
        assert 0.0 <= d.score <= 1.0
        assert d.score == float(np.float32(d.score))  # a widened single
    assert repr(found[1]).startswith("Detection(frame_index=1, timestamp_sec=0.010, score=")
    assert repr(found[1]) == f"Detection(frame_index=1, timestamp_sec=0.010, score={found[1].score:.4f})"
    assert str(found[1]) == repr(found[1])


def test_repr_rounds_the_exact_single_precision_value(make_engine):
    engine = every_frame(make_engine)
    found = engine.push_pcm_i16([0] * (400 + 160 * 150))
    d = found[150]
    assert repr(d) == f"Detection(frame_index=150, timestamp_sec=1.500, score={d.score:.4f})"
    # 0.07 is not exact in binary; its single is 0.0700000003..., shown as 0.070.
    assert repr(found[7]).startswith("Detection(frame_index=7, timestamp_sec=0.070, ")


def test_detection_attributes_are_read_only(make_engine):
    d = every_frame(make_engine).push_pcm_i16(SILENCE)[0]
    for name in ("frame_index", "timestamp_sec", "score"):
        with pytest.raises(AttributeError):
            setattr(d, name, 1)
        with pytest.raises(AttributeError):
            delattr(d, name)
    with pytest.raises(AttributeError):
        d.other = 1


def test_detections_outlive_reset_and_the_engine(make_engine):
    engine = every_frame(make_engine)
    found = engine.push_pcm_i16(SILENCE)
    before = [(d.frame_index, d.timestamp_sec, d.score, repr(d)) for d in found]
    engine.reset()
    engine.push_pcm_i16([1000, -1000] * 800)
    del engine
    assert [(d.frame_index, d.timestamp_sec, d.score, repr(d)) for d in found] == before
    assert found[0] != found[1] and found[0] == found[0]  # identity equality only
    hash(found[0])


def test_fresh_engine_scores_the_warm_up_silence(engine, make_engine):
    score = engine.current_score()
    assert 0.0 < score < 1.0 and score != 0.5
    assert bits(make_engine().current_score()) == bits(score)  # deterministic
    engine.push_pcm_i16(np.random.default_rng(5).integers(-8000, 8000, 4000).tolist())
    engine.reset()
    assert bits(engine.current_score()) == bits(score)


def test_reset_behaves_as_a_fresh_engine_keeping_settings(make_engine):
    rng = np.random.default_rng(11)
    audio = rng.integers(-12000, 12000, 6000).astype(np.int16)
    engine = make_engine(threshold=0.0, cooldown_frames=3)
    first = trace(engine.push_pcm_i16(audio))
    assert engine.reset() is None
    assert engine.threshold == 0.0 and engine.cooldown_frames == 3
    assert trace(engine.push_pcm_i16(audio)) == first
    fresh = make_engine(threshold=0.0, cooldown_frames=3)
    assert trace(fresh.push_pcm_i16(audio)) == first


def test_cooldown_spaces_detections(make_engine):
    engine = make_engine(threshold=0.0, cooldown_frames=4)
    found = engine.push_pcm_i16([0] * (400 + 160 * 19))  # 20 frames
    assert [d.frame_index for d in found] == [0, 5, 10, 15]
    engine.threshold = 1.0  # a sigmoid below 1 never reaches it
    assert engine.push_pcm_i16(SILENCE) == []


def test_chunking_does_not_change_results(make_engine):
    audio = np.random.default_rng(2).integers(-20000, 20000, 9000).astype(np.int16)
    whole = trace(every_frame(make_engine).push_pcm_i16(audio))
    for sizes in ([1, 159, 160, 399, 400, 401], [7919], [3]):
        engine = every_frame(make_engine)
        found, start, i = [], 0, 0
        while start < len(audio):
            size = sizes[i % len(sizes)]
            found += trace(engine.push_pcm_i16(audio[start:start + size]))
            start += size
            i += 1
        assert found == whole, sizes


def test_long_push_in_one_call(make_engine):
    # Larger than any reservation the conversion makes up front.
    n = (1 << 24) // 16 + 12345
    engine = every_frame(make_engine)
    found = engine.push_pcm_f32(np.zeros(n, np.float32))
    assert len(found) == (n - 400) // 160 + 1
