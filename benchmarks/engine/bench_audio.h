// File: benchmarks/engine/bench_audio.h
//
// Deterministic test audio for the engine benchmarks: a cheap generator (no tables, no
// allocation while it runs) that cycles through the kinds of sound a device hears in a
// day: near-silence, room noise at many levels, hum and tones, sweeps, bursts, clipping
// and DC offset. The benchmarks must not depend on the platform's random distributions,
// so every sample comes from a fixed 64-bit generator and plain arithmetic.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quelt::bench {

inline constexpr std::size_t SAMPLE_RATE = 16000;
inline constexpr std::size_t HOP = 160;
inline constexpr std::size_t FRAME = 400;

class AudioGenerator {
 public:
  explicit AudioGenerator(std::uint64_t seed) : state_(seed) { next_segment(); }

  // Fills `out` with the next samples of the stream, nominally in [-1, 1].
  void fill(std::span<float> out) {
    for (float& s : out) {
      if (left_ == 0) next_segment();
      --left_;
      s = sample();
    }
  }

  // The same stream as 16-bit PCM (clipped, as a converter would).
  void fill(std::span<std::int16_t> out) {
    for (std::int16_t& s : out) {
      if (left_ == 0) next_segment();
      --left_;
      const float v = std::fmin(std::fmax(sample() * 32768.0f, -32768.0f), 32767.0f);
      s = static_cast<std::int16_t>(std::lrint(v));
    }
  }

  // A uniform integer in [0, n), for callers that vary their chunk sizes.
  std::uint64_t below(std::uint64_t n) { return next() % n; }

 private:
  enum Kind { QUIET, NOISE, TONE, SWEEP, BURST, CLIPPED, OFFSET, KINDS };

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [-1, 1).
  float uniform() {
    return static_cast<float>(static_cast<std::int64_t>(next() >> 40) - (1 << 23)) * 0x1p-23f;
  }

  void next_segment() {
    kind_ = static_cast<Kind>(next() % KINDS);
    left_ = SAMPLE_RATE / 4 + next() % (4 * SAMPLE_RATE);  // 0.25 s to 4.25 s
    // Level from -70 dB to 0 dB.
    level_ = std::pow(10.0f, -static_cast<float>(next() % 71) / 20.0f);
    phase_ = 0.0;
    freq_ = 50.0 + static_cast<double>(next() % 7000);
    sweep_ = (static_cast<double>(next() % 2001) - 1000.0) / SAMPLE_RATE;
  }

  float sample() {
    const float noise = uniform();
    phase_ += freq_ / SAMPLE_RATE;
    if (phase_ >= 1.0) phase_ -= 1.0;
    const auto tone = static_cast<float>(std::sin(6.283185307179586 * phase_));
    switch (kind_) {
      case QUIET:
        return 1e-4f * noise;
      case NOISE:
        return level_ * noise;
      case TONE:
        return level_ * (0.9f * tone + 0.1f * noise);
      case SWEEP:
        freq_ = std::fmin(std::fmax(freq_ + sweep_, 20.0), 7900.0);
        return level_ * tone;
      case BURST:
        return (left_ % 1600 < 400 ? 1.0f : 0.01f) * level_ * noise;
      case CLIPPED:
        return std::fmin(std::fmax(4.0f * tone, -1.0f), 1.0f);
      case OFFSET:
        return 0.5f + 0.2f * level_ * noise;
      default:
        return 0.0f;
    }
  }

  std::uint64_t state_;
  Kind kind_ = QUIET;
  std::uint64_t left_ = 0;
  float level_ = 0.0f;
  double phase_ = 0.0;
  double freq_ = 0.0;
  double sweep_ = 0.0;
};

}  // namespace quelt::bench
