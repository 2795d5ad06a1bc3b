// File: tests/engine/session_test.cc
//
// The detection session end to end on random-weight models: framing, chunking
// invariance bit for bit, i16 against f32, reset, the cooldown arithmetic, warm start,
// the exact timestamps, non-finite samples, and the per-frame observer that every push
// goes through. One test rebuilds the per-frame pipeline from its parts (whole-stream
// pre-emphasis, frontend, network step, pool) and checks the session against it frame by
// frame.
#include "engine/session.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "support/random_model.h"

namespace quelt::engine {
namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Samples received before frame j is complete: 400 + 160 j.
constexpr std::size_t samples_for_frames(std::size_t frames) {
  return frames == 0 ? 0 : 400 + 160 * (frames - 1);
}

Session make_session(std::uint64_t seed, SessionConfig config = {}) {
  return Session(testing::random_model(seed), config);
}

// Speech-like test audio: two drifting tones under noise, with a slow loudness envelope.
std::vector<float> test_audio(std::size_t n, std::uint64_t seed) {
  testing::SplitMix64 rng(seed);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    const double envelope = 0.5 + 0.5 * std::sin(2.0 * 3.14159265358979 * 0.7 * t);
    const double tones = 0.3 * std::sin(2.0 * 3.14159265358979 * (300.0 + 200.0 * t) * t) +
                         0.2 * std::sin(2.0 * 3.14159265358979 * 1800.0 * t);
    x[i] = static_cast<float>(envelope * tones) + 0.05f * rng.uniform_pm1();
  }
  return x;
}

// Pushes `audio` in chunks of the given sizes (cycled), collecting every detection.
std::vector<Detection> push_in_chunks(Session& s, const std::vector<float>& audio,
                                      const std::vector<std::size_t>& sizes) {
  std::vector<Detection> all;
  std::size_t pos = 0, i = 0;
  while (pos < audio.size()) {
    const std::size_t n = std::min(sizes[i++ % sizes.size()], audio.size() - pos);
    const auto d = s.push_pcm_f32(std::span<const float>(audio).subspan(pos, n));
    all.insert(all.end(), d.begin(), d.end());
    pos += n;
  }
  return all;
}

void expect_same_detections(const std::vector<Detection>& a, const std::vector<Detection>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].frame_index, b[i].frame_index) << i;
    EXPECT_EQ(bits(a[i].timestamp_sec), bits(b[i].timestamp_sec)) << i;
    EXPECT_EQ(bits(a[i].score), bits(b[i].score)) << i;
  }
}

// Threshold 0 and no cooldown make every frame a detection.
SessionConfig every_frame(bool warm_start = true) {
  return SessionConfig{200, 0, 0.0f, warm_start};
}

// What the observer saw of one frame.
struct Seen {
  std::uint64_t frame_index;
  float score;
  bool detected;
};

// Pushes `audio` through the observer in chunks of the given sizes (cycled). Inside the
// observer, the session's counter and current score must already be those of the frame.
template <typename Sample>
std::vector<Seen> observe(Session& s, std::span<const Sample> audio,
                          const std::vector<std::size_t>& sizes = {SIZE_MAX}) {
  std::vector<Seen> seen;
  const auto on_frame = [&](std::uint64_t frame_index, float score, bool detected) {
    EXPECT_EQ(frame_index + 1, s.frame_counter());
    EXPECT_EQ(bits(score), bits(s.current_score())) << "frame " << frame_index;
    seen.push_back({frame_index, score, detected});
  };
  std::size_t pos = 0, i = 0;
  while (pos < audio.size()) {
    const std::size_t n = std::min(sizes[i++ % sizes.size()], audio.size() - pos);
    s.push(audio.subspan(pos, n), on_frame);
    pos += n;
  }
  return seen;
}

std::vector<float> scores_of(const std::vector<Seen>& seen) {
  std::vector<float> scores;
  for (const Seen& f : seen) scores.push_back(f.score);
  return scores;
}

TEST(Session, FramesStartAt400SamplesThenEvery160) {
  for (const bool warm : {true, false}) {
    Session s = make_session(1, SessionConfig{200, 100, 0.9f, warm});
    const float initial = s.current_score();
    const std::vector<float> audio = test_audio(2000, 3);
    std::size_t pushed = 0;
    // Chunk sizes around the frame and hop boundaries, empty ones included.
    for (const std::size_t n : {0, 399, 0, 1, 159, 1, 160, 399, 400, 401}) {
      s.push_pcm_f32(std::span<const float>(audio).subspan(pushed, n));
      pushed += n;
      const std::uint64_t expected = pushed < 400 ? 0 : (pushed - 400) / 160 + 1;
      EXPECT_EQ(s.frame_counter(), expected) << "after " << pushed << " samples";
      if (pushed < 400) {
        EXPECT_EQ(bits(s.current_score()), bits(initial));
      }
    }
    if (warm) {
      EXPECT_NE(bits(initial), bits(0.5f));  // the pool already holds silence
    } else {
      EXPECT_EQ(bits(initial), bits(0.5f));
    }
  }
}

TEST(Session, AnySplitOfTheAudioGivesIdenticalDetections) {
  const std::vector<float> audio = test_audio(64000, 5);  // 4 s, 398 frames
  // A threshold in the middle of the scores, so that detections depend on them.
  Session probe = make_session(2);
  std::vector<float> scores = scores_of(observe(probe, std::span<const float>(audio)));
  ASSERT_EQ(scores.size(), 398u);
  std::nth_element(scores.begin(), scores.begin() + 199, scores.end());
  const SessionConfig config{200, 5, scores[199], true};

  Session whole = make_session(2, config);
  const auto reference = whole.push_pcm_f32(audio);
  ASSERT_GT(reference.size(), 5u);
  ASSERT_LT(reference.size(), 200u);

  testing::SplitMix64 rng(17);
  std::vector<std::size_t> random_sizes(97);
  for (auto& n : random_sizes) n = static_cast<std::size_t>(rng.uniform_int(0, 2500));
  const std::vector<std::vector<std::size_t>> splits = {
      {1}, {1000}, {159, 160, 161, 0, 399, 400, 401}, random_sizes};
  for (const auto& sizes : splits) {
    Session s = make_session(2, config);
    expect_same_detections(push_in_chunks(s, audio, sizes), reference);
    EXPECT_EQ(bits(s.current_score()), bits(whole.current_score()));
    EXPECT_EQ(s.frame_counter(), whole.frame_counter());
  }
}

TEST(Session, I16SamplesActAsF32DividedBy32768) {
  testing::SplitMix64 rng(23);
  std::vector<std::int16_t> pcm(20000);
  for (auto& v : pcm) v = static_cast<std::int16_t>(rng.uniform_int(-9000, 9000));
  pcm[500] = -32768;
  pcm[501] = 32767;
  std::vector<float> as_float(pcm.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) as_float[i] = static_cast<float>(pcm[i]) / 32768.0f;
  EXPECT_EQ(as_float[500], -1.0f);
  EXPECT_EQ(as_float[501], 0.999969482421875f);

  Session f = make_session(4, every_frame());
  Session i = make_session(4, every_frame());
  const auto from_f32 = f.push_pcm_f32(as_float);
  std::vector<Detection> from_i16;
  // Chunks that straddle any internal conversion block.
  for (std::size_t pos = 0, k = 0; pos < pcm.size(); ++k) {
    const std::size_t n = std::min<std::size_t>(k % 2 ? 3001 : 1, pcm.size() - pos);
    const auto d = i.push_pcm_i16(std::span<const std::int16_t>(pcm).subspan(pos, n));
    from_i16.insert(from_i16.end(), d.begin(), d.end());
    pos += n;
  }
  EXPECT_TRUE(i.push_pcm_i16({}).empty());
  expect_same_detections(from_i16, from_f32);
  EXPECT_EQ(bits(i.current_score()), bits(f.current_score()));
}

TEST(Session, ResetBehavesLikeAFreshSessionAndKeepsTheSettings) {
  const std::vector<float> audio = test_audio(30000, 8);
  const std::vector<float> other = test_audio(7777, 9);
  for (const bool warm : {true, false}) {
    const SessionConfig config{200, 3, 0.0f, warm};
    Session fresh = make_session(5, config);
    const float fresh_initial = fresh.current_score();
    const auto expected = fresh.push_pcm_f32(audio);

    Session used = make_session(5, config);
    used.push_pcm_f32(other);  // leaves a partial frame, a carry and a running cooldown
    used.set_threshold(0.25f);
    used.set_cooldown_frames(7);
    used.reset();
    EXPECT_EQ(used.frame_counter(), 0u);
    EXPECT_EQ(bits(used.current_score()), bits(fresh_initial));
    EXPECT_EQ(used.threshold(), 0.25f);
    EXPECT_EQ(used.cooldown_frames(), 7u);
    used.set_threshold(0.0f);
    used.set_cooldown_frames(3);
    expect_same_detections(used.push_pcm_f32(audio), expected);
  }
}

TEST(Session, CooldownSkipsExactlyCooldownFrames) {
  const std::vector<float> audio = test_audio(samples_for_frames(260), 11);
  {  // threshold 0, cooldown 100: frames 0, 101, 202
    Session s = make_session(6, SessionConfig{200, 100, 0.0f, true});
    const auto d = s.push_pcm_f32(audio);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].frame_index, 0u);
    EXPECT_EQ(d[1].frame_index, 101u);
    EXPECT_EQ(d[2].frame_index, 202u);
    EXPECT_EQ(bits(d[1].timestamp_sec), bits(1.01f));
    EXPECT_EQ(bits(d[2].timestamp_sec), bits(2.02f));
  }
  {  // cooldown 0: every frame, with exact timestamps
    Session s = make_session(6, every_frame());
    const auto d = s.push_pcm_f32(audio);
    ASSERT_EQ(d.size(), 260u);
    for (std::size_t j = 0; j < d.size(); ++j) {
      ASSERT_EQ(d[j].frame_index, j);
      ASSERT_EQ(bits(d[j].timestamp_sec), bits(160.0f * static_cast<float>(j) / 16000.0f));
    }
    EXPECT_EQ(bits(d[0].timestamp_sec), 0u);
    EXPECT_EQ(bits(d[1].timestamp_sec), bits(0.01f));
    EXPECT_EQ(bits(d[1].timestamp_sec), 0x3C23D70Au);
    EXPECT_EQ(d[150].timestamp_sec, 1.5f);
  }
  {  // a cooldown change during a cooldown applies from the next detection only
    Session s = make_session(6, SessionConfig{200, 100, 0.0f, true});
    std::vector<Detection> d =
        s.push_pcm_f32(std::span<const float>(audio).first(samples_for_frames(10)));
    s.set_cooldown_frames(10);
    const auto rest = s.push_pcm_f32(std::span<const float>(audio).subspan(samples_for_frames(10)));
    d.insert(d.end(), rest.begin(), rest.end());
    std::vector<std::uint64_t> frames;
    for (const Detection& x : d) frames.push_back(x.frame_index);
    EXPECT_EQ(frames, (std::vector<std::uint64_t>{0, 101, 112, 123, 134, 145, 156, 167, 178, 189,
                                                  200, 211, 222, 233, 244, 255}));
  }
  {  // a NaN threshold never detects; a threshold above 1 neither
    for (const float threshold : {std::numeric_limits<float>::quiet_NaN(), 1.5f}) {
      Session s = make_session(6, SessionConfig{200, 0, threshold, true});
      EXPECT_TRUE(s.push_pcm_f32(audio).empty());
    }
  }
}

TEST(Session, WarmStartOffScoresFrameZeroOnItsOwnEmbedding) {
  const std::vector<float> audio = test_audio(samples_for_frames(460), 13);
  Session cold = make_session(7, SessionConfig{200, 100, 0.9f, false});
  Session warm = make_session(7);
  const std::vector<float> c = scores_of(observe(cold, std::span<const float>(audio)));
  const std::vector<float> w = scores_of(observe(warm, std::span<const float>(audio)));
  ASSERT_EQ(c.size(), 460u);
  ASSERT_EQ(w.size(), 460u);
  EXPECT_NE(bits(c[0]), bits(w[0]));
  // Frame 0 is tested like every other frame: with warm start off its pooled mean is its
  // own embedding.
  Session cold_gate = make_session(7, SessionConfig{200, 0, 0.0f, false});
  const auto first = cold_gate.push_pcm_f32(std::span<const float>(audio).first(400));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(bits(first[0].score), bits(c[0]));
  // Once the histories hold only real frames (240 frames) and the silence has left the
  // pool (200 more), both pool the same embeddings; only the running sums' rounding
  // history differs.
  for (std::size_t j = 440; j < 460; ++j) EXPECT_NEAR(c[j], w[j], 1e-5f) << j;
}

// The session against its pipeline rebuilt from the parts, on a stream with non-finite
// samples: a frame holding a NaN or infinity has the features of silence, and a
// non-finite last sample of one push spoils the first pre-emphasised sample of the next.
TEST(Session, MatchesThePipelineBuiltFromItsParts) {
  std::vector<float> x = test_audio(samples_for_frames(60), 19);
  const std::size_t nan_at = 160 * 10 - 1;  // last sample of the first push
  x[nan_at] = std::numeric_limits<float>::quiet_NaN();
  x[5000] = std::numeric_limits<float>::infinity();
  x[7000] = -std::numeric_limits<float>::infinity();

  // Reference: whole-stream pre-emphasis, then frame by frame, with the portable variant
  // throughout (the session runs the best one: the scores must agree bit for bit).
  const nn::WakeWordModel model = testing::random_model(9);
  const frontend::Frontend fe(Simd::PORTABLE);
  std::vector<float> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = x[i] - 0.97f * (i ? x[i - 1] : 0.0f);
  nn::StreamingState state(Simd::PORTABLE);
  nn::RollingPool pool(200);
  std::array<float, nn::BOTTLENECK_CHANNELS> emb{};
  nn::warm_up(model, state, pool, emb, 1e-6f);
  std::vector<std::complex<double>> fft(512);
  std::vector<float> spectrum(257);
  std::array<float, nn::N_FEATURES> features{};
  std::vector<float> expected;
  for (std::size_t j = 0; 160 * j + 400 <= y.size(); ++j) {
    frontend::process_frame(fe, std::span<const float>(y).subspan(160 * j, 400), fft, spectrum,
                            features);
    const bool non_finite = std::any_of(y.begin() + static_cast<std::ptrdiff_t>(160 * j),
                                        y.begin() + static_cast<std::ptrdiff_t>(160 * j + 400),
                                        [](float v) { return !std::isfinite(v); });
    // Frame 10 starts right after the NaN: only the carry makes it non-finite.
    if (j == 10) {
      EXPECT_TRUE(non_finite);
    }
    for (const float f : features) {
      if (non_finite) {
        EXPECT_EQ(bits(f), bits(-13.815510749816895f)) << "frame " << j;
      }
    }
    nn::network_step(model, state, features, emb);
    expected.push_back(nn::score_of_logit(nn::pool_push(pool, emb, model)));
  }

  Session s(testing::random_model(9), SessionConfig{});
  // The first push ends on the NaN; the rest comes in uneven pieces.
  const std::vector<float> got =
      scores_of(observe(s, std::span<const float>(x), {nan_at + 1, 1, 3000, x.size()}));
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t j = 0; j < got.size(); ++j) {
    EXPECT_EQ(bits(got[j]), bits(expected[j])) << "frame " << j;
  }
}

// The observer sees every frame once, in order, with the gate's verdict: its detected frames
// are push_pcm_f32's detections, whatever the split, and an i16 push reports what the f32
// push of the same values does.
TEST(Session, TheFrameObserverSeesEveryFrameAndTheGate) {
  testing::SplitMix64 rng(29);
  std::vector<std::int16_t> pcm(samples_for_frames(300));
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(rng.uniform_int(-2000, 2000) +
                                       (i / 4000 % 2 ? rng.uniform_int(-20000, 20000) : 0));
  }
  std::vector<float> audio(pcm.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) audio[i] = static_cast<float>(pcm[i]) / 32768.0f;

  Session probe = make_session(8);
  std::vector<float> scores = scores_of(observe(probe, std::span<const float>(audio)));
  std::nth_element(scores.begin(), scores.begin() + 150, scores.end());
  const SessionConfig config{200, 4, scores[150], true};
  Session reference = make_session(8, config);
  const std::vector<Detection> detections = reference.push_pcm_f32(audio);
  ASSERT_GT(detections.size(), 3u);

  for (const std::vector<std::size_t>& sizes :
       std::vector<std::vector<std::size_t>>{{SIZE_MAX}, {1, 159, 160, 0, 399, 400, 401}}) {
    Session f = make_session(8, config);
    Session i = make_session(8, config);
    const std::vector<Seen> from_f32 = observe(f, std::span<const float>(audio), sizes);
    const std::vector<Seen> from_i16 = observe(i, std::span<const std::int16_t>(pcm), sizes);
    ASSERT_EQ(from_f32.size(), 300u);
    ASSERT_EQ(from_i16.size(), 300u);
    std::vector<Detection> detected;
    for (std::size_t j = 0; j < from_f32.size(); ++j) {
      EXPECT_EQ(from_f32[j].frame_index, j);
      EXPECT_EQ(from_i16[j].frame_index, j);
      EXPECT_EQ(bits(from_i16[j].score), bits(from_f32[j].score)) << j;
      EXPECT_EQ(from_i16[j].detected, from_f32[j].detected) << j;
      if (from_f32[j].detected) {
        detected.push_back({j, 160.0f * static_cast<float>(j) / 16000.0f, from_f32[j].score});
      }
    }
    expect_same_detections(detected, detections);
  }
}

}  // namespace
}  // namespace quelt::engine
