// File: tools/cli/frame_feeder.h
//
// Feeds a session so that every frame's score can be read. The session reports only
// detections, but its current score right after a frame is that frame's score; so the
// feeder cuts the incoming audio at frame boundaries (frame j completes once 400 + 160 j
// samples have arrived) and reads the score after each piece that completes a frame.
// Any split of the audio gives the same frames, so the scores and detections are those of
// one push of the whole stream.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "common/check.h"
#include "engine/session.h"

namespace quelt::cli {

class FrameFeeder {
 public:
  static constexpr std::uint64_t FRAME_LENGTH = 400;
  static constexpr std::uint64_t HOP_LENGTH = 160;

  explicit FrameFeeder(engine::Session& session) : session_(session) {}

  // on_frame(frame_index, score, detection) for each frame the samples complete, in order;
  // detection is set when that frame detected.
  template <typename OnFrame>
  void push(std::span<const float> samples, OnFrame&& on_frame) {
    while (!samples.empty()) {
      const std::uint64_t boundary = FRAME_LENGTH + HOP_LENGTH * frames_;
      const std::uint64_t take = std::min<std::uint64_t>(boundary - received_, samples.size());
      const auto found = session_.push_pcm_f32(samples.first(take));
      received_ += take;
      samples = samples.subspan(take);
      if (received_ < boundary) {
        QWW_CHECK(found.empty(), "a detection without a completed frame");
        continue;
      }
      QWW_CHECK(found.size() <= 1, "one push completed more than one frame");
      std::optional<engine::Detection> detection;
      if (!found.empty()) {
        QWW_CHECK(found.front().frame_index == frames_, "frame count out of step");
        detection = found.front();
      }
      on_frame(frames_, session_.current_score(), detection);
      ++frames_;
    }
  }

  std::uint64_t samples_received() const { return received_; }

 private:
  engine::Session& session_;
  std::uint64_t received_ = 0;
  std::uint64_t frames_ = 0;
};

}  // namespace quelt::cli
