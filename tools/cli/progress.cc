// File: tools/cli/progress.cc

#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace quelt::cli {

namespace {
constexpr int BAR_WIDTH = 30;
}  // namespace

ProgressBar::ProgressBar(std::string label, std::uint64_t total_samples, bool known)
    : label_(std::move(label)), total_(total_samples) {
  shown_ = known && total_samples >= MIN_SAMPLES && ::isatty(STDERR_FILENO) == 1;
  if (shown_) draw(0);
}

ProgressBar::~ProgressBar() {
  if (shown_) {
    std::fputs("\r\033[K", stderr);  // erase the bar; detections stay on stdout
    std::fflush(stderr);
  }
}

void ProgressBar::update(std::uint64_t samples_done) {
  if (!shown_) return;
  // The resampled length is an estimate: hold at 99 % until the end.
  const int percent = static_cast<int>(std::min<std::uint64_t>(99, samples_done * 100 / total_));
  if (percent != last_percent_) draw(percent);
}

void ProgressBar::draw(int percent) {
  last_percent_ = percent;
  const int filled = percent * BAR_WIDTH / 100;
  std::fprintf(stderr, "\r[%s%s] %3d%%  %s",
               std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '.').c_str(), percent,
               label_.c_str());
  std::fflush(stderr);
}

}  // namespace quelt::cli
