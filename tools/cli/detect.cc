// File: tools/cli/detect.cc
//
// Every model gets a session of its own, and every session hears the same samples: each
// block read from an input is pushed to one session after the other. What their frames give
// is held until all of them have heard the block and then written in frame order and,
// within a frame, in the models' command-line order, so that the output does not depend
// on how the input happened to be split into blocks.

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
#include "wake_word.h"

namespace quelt::cli {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::size_t BLOCK_SAMPLES = 4096;

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

// One model listening: its session and the name its lines carry.
struct Listener {
  engine::Session session;
  std::string label;
  std::string csv_label;
};

// What one frame of one model gave; frame counts the input's own frames.
struct FrameEvent {
  std::uint64_t frame;
  std::size_t model;
  float score;
  bool detected;
};

// Where the frames of one input go.
struct InputSink {
  std::string input;
  std::string csv_input;
  std::FILE* scores;  // null: no scores file
  bool json;
};

void print_detection(const InputSink& sink, const Listener& listener, std::uint64_t frame_index,
                     float score) {
  if (sink.json) {
    const nlohmann::ordered_json line = {{"file", sink.input},
                                         {"wake_word", listener.label},
                                         {"frame_index", frame_index},
                                         {"time_sec", frame_time(frame_index)},
                                         {"score", score}};
    std::printf(
        "%s\n",
        line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    std::printf("%s\t%s\t%.2f\t%.4f\n", sink.input.c_str(), listener.label.c_str(),
                frame_time(frame_index), static_cast<double>(score));
  }
}

// Pushes the samples to every session and writes what their frames gave. `events` is
// scratch space, reserved for a block's frames of every model, so a push allocates nothing.
void push_to_all(std::span<const float> samples, std::vector<Listener>& listeners,
                 std::uint64_t lead_frames, const InputSink& sink,
                 std::vector<FrameEvent>& events) {
  events.clear();
  for (std::size_t m = 0; m < listeners.size(); ++m) {
    listeners[m].session.push(
        samples, [&](std::uint64_t session_frame, float score, bool detected) {
          // A frame that starts in the leading silence is not one of the input's frames.
          if (session_frame < lead_frames) return;
          if (detected || sink.scores)
            events.push_back({session_frame - lead_frames, m, score, detected});
        });
  }
  // (frame, model) pairs are unique, so the order is fully determined.
  std::sort(events.begin(), events.end(), [](const FrameEvent& a, const FrameEvent& b) {
    return a.frame != b.frame ? a.frame < b.frame : a.model < b.model;
  });
  bool printed = false;
  for (const FrameEvent& event : events) {
    const Listener& listener = listeners[event.model];
    if (sink.scores) {
      std::fprintf(sink.scores, "%s,%s,%llu,%.2f,%.9g\n", sink.csv_input.c_str(),
                   listener.csv_label.c_str(), static_cast<unsigned long long>(event.frame),
                   frame_time(event.frame), static_cast<double>(event.score));
    }
    if (event.detected) {
      print_detection(sink, listener, event.frame, event.score);
      printed = true;
    }
  }
  // Each detection as it happens: the output may be a live listener's pipe.
  if (printed) std::fflush(stdout);
}

// Feeds n zero samples to every session.
void push_silence(std::uint64_t n, std::vector<float>& block, std::vector<Listener>& listeners,
                  std::uint64_t lead_frames, const InputSink& sink,
                  std::vector<FrameEvent>& events) {
  std::fill(block.begin(), block.end(), 0.0f);
  while (n > 0) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, block.size()));
    push_to_all(std::span<const float>(block.data(), take), listeners, lead_frames, sink, events);
    n -= take;
  }
}

// Scores one input with every model; returns false (after printing why) if it could not
// be read.
bool score_input(const std::string& input, std::vector<Listener>& listeners,
                 const DetectOptions& options, std::FILE* scores) {
  auto reader = AudioReader::open(input);
  if (!reader) {
    error_line(reader.error());
    return false;
  }
  const auto expected = reader.value().expected_samples();
  ProgressBar progress(input, expected.value_or(0), expected.has_value());
  const InputSink sink{input, scores ? csv_field(input) : std::string(), scores, options.json};
  const std::uint64_t lead = options.lead_frames;
  std::vector<float> block(BLOCK_SAMPLES);
  std::vector<FrameEvent> events;
  // n samples complete at most ceil(n / hop) frames of each session.
  events.reserve((BLOCK_SAMPLES + engine::Session::hop_length() - 1) /
                 engine::Session::hop_length() * listeners.size());
  push_silence(lead * engine::Session::hop_length(), block, listeners, lead, sink, events);
  std::uint64_t received = 0;
  while (true) {
    auto got = reader.value().read(block);
    if (!got) {
      error_line(got.error());
      return false;
    }
    if (got.value() == 0) break;
    push_to_all(std::span<const float>(block.data(), got.value()), listeners, lead, sink, events);
    received += got.value();
    progress.update(received);
  }
  push_silence(options.tail_samples, block, listeners, lead, sink, events);
  return true;
}

}  // namespace

int run_detect(const DetectOptions& options) {
  std::vector<std::string> paths = options.models;
  if (paths.empty()) {
    const std::optional<std::string> bundled = default_model_path();
    if (!bundled) {
      error_line("no model given and no bundled model found: pass --model FILE.qelt");
      return EXIT_USAGE;
    }
    paths.push_back(*bundled);
  }
  std::vector<Listener> listeners;
  std::vector<std::string> words;
  for (const std::string& path : paths) {
    auto loaded = load_model(path);
    if (!loaded) {
      error_line(loaded.error());
      return EXIT_MODEL;
    }
    words.push_back(wake_word_of(loaded.value().config, path));
    listeners.push_back({std::move(loaded).value().session, std::string(), std::string()});
    engine::Session& session = listeners.back().session;
    if (options.threshold) session.set_threshold(*options.threshold);
    if (options.cooldown_frames) session.set_cooldown_frames(*options.cooldown_frames);
  }
  const std::vector<std::string> labels = model_labels(words, paths);
  for (std::size_t m = 0; m < listeners.size(); ++m) {
    listeners[m].label = labels[m];
    listeners[m].csv_label = csv_field(labels[m]);
  }

  File scores;
  if (options.scores_path) {
    scores.reset(std::fopen(options.scores_path->c_str(), "w"));
    if (!scores) {
      std::perror(("quelt-wake-word: cannot write " + *options.scores_path).c_str());
      return EXIT_OUTPUT;
    }
    std::fputs("file,wake_word,frame_index,time_sec,score\n", scores.get());
  }

  int status = EXIT_OK;
  bool first = true;
  for (const std::string& input : options.inputs) {
    // Each input is its own stream: frame indices and times start at 0.
    if (!first) {
      for (Listener& listener : listeners) listener.session.reset();
    }
    first = false;
    if (!score_input(input, listeners, options, scores.get())) status = EXIT_AUDIO;
  }
  if (scores && (std::fflush(scores.get()) != 0 || std::ferror(scores.get()))) {
    std::perror(("quelt-wake-word: cannot write " + *options.scores_path).c_str());
    return EXIT_OUTPUT;
  }
  return status;
}

}  // namespace quelt::cli
