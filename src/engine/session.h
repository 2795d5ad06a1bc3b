// File: engine/session.h
//
// The Session is the engine: it owns one built model, the frontend tables, the network's
// streaming state, the rolling pool and every per-frame work area. It takes 16 kHz mono
// PCM in chunks of any size, cuts 25 ms frames every 10 ms, scores each frame and gates
// the scores with threshold and cooldown. Any split of the same audio into chunks gives
// the same detections, bit for bit. Nothing is allocated per frame.
//
// Every push goes through one door, push(samples, on_frame), which calls an observer for
// each frame it completes with the frame's index, score and whether it detected;
// push_pcm_f32 and push_pcm_i16 are that door with an observer that records detections,
// and the command-line tool's per-frame scores come through it too.
//
// One session serves one call at a time; distinct sessions share nothing mutable.
#pragma once

#include <algorithm>
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frontend/frontend.h"
#include "nn/model.h"
#include "nn/streaming.h"

namespace quelt::engine {

struct SessionConfig {
  std::uint64_t window_size = 200;      // frame embeddings in the rolling pool (2.0 s); >= 1
  std::uint64_t cooldown_frames = 100;  // frames not tested after a detection (1.0 s)
  float threshold = 0.9f;               // bits 0x3F666666; a frame detects when score >= this
  bool warm_start = true;               // warm up on silence at construction and reset
};

// One detection event; 16 bytes, laid out as the C interface's record.
struct Detection {
  std::uint64_t frame_index;  // 0-based since construction or the last reset
  float timestamp_sec;        // start of the detecting frame: (160 * frame_index) / 16000
  float score;                // the detecting frame's sigmoid score
};
static_assert(sizeof(Detection) == 16);

class Session {
 public:
  // Takes over the model. A zero window_size is a programming error (QWW_CHECK): the
  // bindings always pass the defaults.
  Session(nn::WakeWordModel model, const SessionConfig& config);
  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Pre-emphasises and frames the samples, and calls on_frame(frame_index, score, detected)
  // for every frame they complete, in order, right after the frame: frame_index is 0-based
  // since construction or the last reset, score is what current_score() then returns, and
  // detected tells whether the frame passed the threshold-and-cooldown gate. Frame j
  // completes once 400 + 160 j samples have arrived, whatever the split into pushes.
  // on_frame must not push to or reset this session. Allocates nothing.
  template <typename OnFrame>
  void push(std::span<const float> samples, OnFrame&& on_frame);
  // Each sample s becomes s * 2^-15, then as the float push.
  template <typename OnFrame>
  void push(std::span<const std::int16_t> samples, OnFrame&& on_frame);

  // Detections of this chunk in frame order; empty (and unallocated) most of the time.
  std::vector<Detection> push_pcm_f32(std::span<const float> samples);
  // Each sample s becomes s * 2^-15, then as push_pcm_f32.
  std::vector<Detection> push_pcm_i16(std::span<const std::int16_t> samples);
  // Sigmoid of the head on the pool's current mean; 0.5 while the pool is empty.
  float current_score() const;
  // Back to the state construction left, keeping threshold and cooldown_frames.
  void reset();

  // Plain writes; validating a threshold is the binding's job.
  void set_threshold(float threshold);
  void set_cooldown_frames(std::uint64_t frames);
  float threshold() const;
  std::uint64_t cooldown_frames() const;
  const SessionConfig& config() const;
  // Frames processed since construction or the last reset.
  std::uint64_t frame_counter() const;
  // Samples between frame starts (160): frame j starts at sample hop_length() * j.
  static constexpr std::uint64_t hop_length() { return frontend::FrontendConfig::hop_length; }
  // The rolling pool as it stands, read-only (long-run checks compare its running sum
  // with a fresh sum of its ring).
  const nn::RollingPool& pool() const { return pool_; }

 private:
  // What one frame gave its observer.
  struct FrameOutcome {
    std::uint64_t frame_index = 0;
    float score = 0.0f;
    bool detected = false;
  };

  // Frontend, network step, pool and detection test for the complete frame in the sample
  // buffer; then its first hop samples leave (the caller keeps the fill count).
  FrameOutcome process_frame();
  // Converts the next block of `samples` into i16_scratch_ and drops it from `samples`.
  std::span<const float> convert_block(std::span<const std::int16_t>& samples);
  // The push with an observer that collects the detections (push_pcm_f32, push_pcm_i16).
  template <typename Sample>
  std::vector<Detection> detections_of(std::span<const Sample> samples);
  Detection detection_at(std::uint64_t frame_index, float score) const;
  void warm_up_if_configured();

  SessionConfig config_;  // first, so that it is checked before anything is sized from it
  nn::WakeWordModel model_;
  frontend::Frontend frontend_;
  nn::StreamingState state_;
  nn::RollingPool pool_;
  // Pre-emphasised samples not yet consumed. Samples enter only as far as the next frame
  // needs, so it never holds more than one frame.
  std::array<float, frontend::FrontendConfig::frame_length> fifo_{};
  std::size_t fifo_len_ = 0;
  // Per-frame work areas.
  std::array<std::complex<double>, frontend::FrontendConfig::n_fft> fft_buffer_{};
  std::array<float, frontend::FrontendConfig::n_bins> spectrum_{};
  std::array<float, nn::N_FEATURES> features_{};
  std::array<float, nn::BOTTLENECK_CHANNELS> embedding_{};
  // i16 samples converted block by block; any block size gives the same frames.
  static constexpr std::size_t I16_BLOCK = 1024;
  std::array<float, I16_BLOCK> i16_scratch_{};
  std::uint64_t cooldown_remaining_ = 0;
  std::uint64_t frame_counter_ = 0;
  float preemph_carry_ = 0.0f;  // last raw sample of the previous non-empty push
};

// Samples enter the buffer only as far as the next frame needs, and the frame is processed
// as soon as it is complete. Pre-emphasis depends only on the previous raw sample, so this
// yields the same samples as appending a whole chunk first, while the buffer never exceeds
// one frame: no push allocates, whatever its size. The loop sits here, not in session.cc,
// so that each observer is inlined into it.
template <typename OnFrame>
void Session::push(std::span<const float> samples, OnFrame&& on_frame) {
  const std::size_t frame_length = fifo_.size();
  const std::size_t hop = hop_length();
  constexpr float preemph = frontend::FrontendConfig::preemph;
  float carry = preemph_carry_;
  std::size_t filled = fifo_len_;
  while (!samples.empty()) {
    const std::size_t take = std::min(samples.size(), frame_length - filled);
    carry = frontend::preemphasize(samples.first(take), carry, preemph,
                                   std::span<float>(fifo_).subspan(filled, take));
    filled += take;
    samples = samples.subspan(take);
    if (filled == frame_length) {
      const FrameOutcome frame = process_frame();
      filled = frame_length - hop;
      on_frame(frame.frame_index, frame.score, frame.detected);
    }
  }
  fifo_len_ = filled;
  preemph_carry_ = carry;  // the last raw sample; unchanged by an empty push
}

template <typename OnFrame>
void Session::push(std::span<const std::int16_t> samples, OnFrame&& on_frame) {
  while (!samples.empty()) push(convert_block(samples), on_frame);
}

}  // namespace quelt::engine
