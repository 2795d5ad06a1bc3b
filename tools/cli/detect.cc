// File: tools/cli/detect.cc

#include "detect.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio_reader.h"
#include "engine/session.h"
#include "model_file.h"
#include "progress.h"

namespace quelt::cli {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void error_line(const std::string& message) {
  std::fprintf(stderr, "quelt-wake-word: %s\n", message.c_str());
}

// RFC 4180: quoted when it holds a comma, a quote or a line break; quotes doubled.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Time of a frame's start, for output: frame_index x 10 ms, in decimal without the
// float's binary noise.
double frame_time(std::uint64_t frame_index) { return static_cast<double>(frame_index) / 100.0; }

// frame_index counts the input's own frames (the leading silence's are not reported).
void print_detection(const std::string& input, std::uint64_t frame_index, float score, bool json) {
  if (json) {
    const nlohmann::ordered_json line = {{"file", input},
                                         {"frame_index", frame_index},
                                         {"time_sec", frame_time(frame_index)},
                                         {"score", score}};
    std::printf(
        "%s\n",
        line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    std::printf("%s\t%.2f\t%.4f\n", input.c_str(), frame_time(frame_index),
                static_cast<double>(score));
  }
  // Each detection as it happens: the output may be a live listener's pipe.
  std::fflush(stdout);
}

// Feeds n zero samples.
template <typename OnFrame>
void push_silence(engine::Session& session, std::vector<float>& block, std::uint64_t n,
                  OnFrame&& on_frame) {
  std::fill(block.begin(), block.end(), 0.0f);
  while (n > 0) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, block.size()));
    session.push(std::span<const float>(block.data(), take), on_frame);
    n -= take;
  }
}

// Scores one input; returns false (after printing why) if it could not be read.
bool score_input(const std::string& input, engine::Session& session, const DetectOptions& options,
                 std::FILE* scores) {
  auto reader = AudioReader::open(input);
  if (!reader) {
    error_line(reader.error());
    return false;
  }
  const auto expected = reader.value().expected_samples();
  ProgressBar progress(input, expected.value_or(0), expected.has_value());
  const std::string csv_name = scores ? csv_field(input) : std::string();
  const std::uint64_t lead_frames = options.lead_frames;
  const auto on_frame = [&](std::uint64_t session_frame, float score, bool detected) {
    // A frame that starts in the leading silence is not one of the input's frames.
    if (session_frame < lead_frames) return;
    const std::uint64_t frame = session_frame - lead_frames;
    if (scores) {
      std::fprintf(scores, "%s,%llu,%.2f,%.9g\n", csv_name.c_str(),
                   static_cast<unsigned long long>(frame), frame_time(frame),
                   static_cast<double>(score));
    }
    if (detected) print_detection(input, frame, score, options.json);
  };
  std::vector<float> block(4096);
  push_silence(session, block, lead_frames * session.hop_length(), on_frame);
  std::uint64_t received = 0;
  while (true) {
    auto got = reader.value().read(block);
    if (!got) {
      error_line(got.error());
      return false;
    }
    if (got.value() == 0) break;
    session.push(std::span<const float>(block.data(), got.value()), on_frame);
    received += got.value();
    progress.update(received);
  }
  push_silence(session, block, options.tail_samples, on_frame);
  return true;
}

}  // namespace

int run_detect(const DetectOptions& options) {
  const std::optional<std::string> model = options.model ? options.model : default_model_path();
  if (!model) {
    error_line("no model given and no bundled model found: pass --model FILE.qelt");
    return EXIT_USAGE;
  }
  auto loaded = load_session(*model);
  if (!loaded) {
    error_line(loaded.error());
    return EXIT_MODEL;
  }
  engine::Session& session = loaded.value();
  if (options.threshold) session.set_threshold(*options.threshold);
  if (options.cooldown_frames) session.set_cooldown_frames(*options.cooldown_frames);

  File scores;
  if (options.scores_path) {
    scores.reset(std::fopen(options.scores_path->c_str(), "w"));
    if (!scores) {
      std::perror(("quelt-wake-word: cannot write " + *options.scores_path).c_str());
      return EXIT_OUTPUT;
    }
    std::fputs("file,frame_index,time_sec,score\n", scores.get());
  }

  int status = EXIT_OK;
  bool first = true;
  for (const std::string& input : options.inputs) {
    // Each input is its own stream: frame indices and times start at 0.
    if (!first) session.reset();
    first = false;
    if (!score_input(input, session, options, scores.get())) status = EXIT_AUDIO;
  }
  if (scores && (std::fflush(scores.get()) != 0 || std::ferror(scores.get()))) {
    std::perror(("quelt-wake-word: cannot write " + *options.scores_path).c_str());
    return EXIT_OUTPUT;
  }
  return status;
}

}  // namespace quelt::cli
