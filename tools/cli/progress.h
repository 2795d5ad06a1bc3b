// File: tools/cli/progress.h
//
// A one-line progress bar on standard error while a long file is scored. Drawn only when
// standard error is a terminal (never into a log or a pipe) and redrawn only when the
// shown percentage changes, so it costs nothing per frame.
#pragma once

#include <cstdint>
#include <string>

namespace quelt::cli {

class ProgressBar {
 public:
  // Files shorter than this (in 16 kHz samples, 30 s) finish too soon to need a bar.
  static constexpr std::uint64_t MIN_SAMPLES = 30 * 16000;

  // Shown if total_samples is known, at least MIN_SAMPLES, and stderr is a terminal.
  ProgressBar(std::string label, std::uint64_t total_samples, bool known);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar();  // clears the line

  void update(std::uint64_t samples_done);

 private:
  void draw(int percent);

  std::string label_;
  std::uint64_t total_ = 0;
  bool shown_ = false;
  int last_percent_ = -1;
};

}  // namespace quelt::cli
