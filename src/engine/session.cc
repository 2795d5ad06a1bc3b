// File: engine/session.cc
//
// The detection session: pre-emphasis carried across pushes, framing (400-sample frames
// every 160 samples), the per-frame pipeline (frontend, network step, pool, score), the
// threshold and cooldown gate, reset and warm-up. The framing loop is the template push()
// in the header; the frame it completes is processed here.
#include "engine/session.h"

#include <algorithm>
#include <utility>

#include "common/check.h"

namespace quelt::engine {
namespace {

using FrontendConfig = frontend::FrontendConfig;
static_assert(FrontendConfig::n_mels == nn::N_FEATURES,
              "frontend and network disagree on features");
// Keeps window_size x 16 floats far from overflowing the ring's size computation.
constexpr std::uint64_t MAX_WINDOW_SIZE = std::uint64_t{1} << 32;

const SessionConfig& checked(const SessionConfig& config) {
  QWW_CHECK(config.window_size > 0, "window_size must be > 0");
  QWW_CHECK(config.window_size <= MAX_WINDOW_SIZE, "window_size too large");
  return config;
}

}  // namespace

Session::Session(nn::WakeWordModel model, const SessionConfig& config)
    : config_(checked(config)), model_(std::move(model)), pool_(config_.window_size) {
  QWW_CHECK(nn::has_architecture_sizes(model_), "model does not match the architecture");
  warm_up_if_configured();
}

Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

template <typename Sample>
std::vector<Detection> Session::detections_of(std::span<const Sample> samples) {
  std::vector<Detection> detections;
  push(samples, [&](std::uint64_t frame_index, float score, bool detected) {
    if (detected) detections.push_back(detection_at(frame_index, score));
  });
  return detections;
}

std::vector<Detection> Session::push_pcm_f32(std::span<const float> samples) {
  return detections_of(samples);
}

std::vector<Detection> Session::push_pcm_i16(std::span<const std::int16_t> samples) {
  return detections_of(samples);
}

std::span<const float> Session::convert_block(std::span<const std::int16_t>& samples) {
  const std::size_t n = std::min(I16_BLOCK, samples.size());
  // s / 32768, exact: -32768 gives -1.0, 32767 gives 0.999969482421875.
  for (std::size_t i = 0; i < n; ++i) {
    i16_scratch_[i] = static_cast<float>(samples[i]) * 0x1p-15f;
  }
  samples = samples.subspan(n);
  return std::span<const float>(i16_scratch_).first(n);
}

Session::FrameOutcome Session::process_frame() {
  frontend::process_frame(frontend_, fifo_, fft_buffer_, spectrum_, features_);
  nn::network_step(model_, state_, features_, embedding_);
  const float logit = nn::pool_push(pool_, embedding_, model_);
  // The first hop samples leave; the rest moves to the front in order.
  constexpr auto hop = static_cast<std::ptrdiff_t>(FrontendConfig::hop_length);
  std::copy(fifo_.begin() + hop, fifo_.end(), fifo_.begin());
  FrameOutcome frame{frame_counter_++, nn::score_of_logit(logit), false};
  // The network and the pool run on every frame; only the test pauses during a cooldown.
  if (cooldown_remaining_ > 0) {
    --cooldown_remaining_;
  } else if (frame.score >= config_.threshold) {  // false when either side is NaN
    frame.detected = true;
    cooldown_remaining_ = config_.cooldown_frames;
  }
  return frame;
}

Detection Session::detection_at(std::uint64_t frame_index, float score) const {
  // (hop x frame_index) / sample_rate in single precision, operands converted first.
  const float timestamp = static_cast<float>(FrontendConfig::hop_length) *
                          static_cast<float>(frame_index) /
                          static_cast<float>(FrontendConfig::sample_rate);
  return Detection{frame_index, timestamp, score};
}

float Session::current_score() const { return nn::pool_score(pool_, model_); }

void Session::reset() {
  state_.clear();
  preemph_carry_ = 0.0f;
  fifo_len_ = 0;
  pool_.clear();
  cooldown_remaining_ = 0;
  frame_counter_ = 0;
  warm_up_if_configured();
}

void Session::warm_up_if_configured() {
  if (config_.warm_start) {
    nn::warm_up(model_, state_, pool_, embedding_, FrontendConfig::log_floor);
  }
}

void Session::set_threshold(float threshold) { config_.threshold = threshold; }
void Session::set_cooldown_frames(std::uint64_t frames) { config_.cooldown_frames = frames; }
float Session::threshold() const { return config_.threshold; }
std::uint64_t Session::cooldown_frames() const { return config_.cooldown_frames; }
const SessionConfig& Session::config() const { return config_; }
std::uint64_t Session::frame_counter() const { return frame_counter_; }

}  // namespace quelt::engine
