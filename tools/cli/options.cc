// File: tools/cli/options.cc
//
// Parsing of the detect command line: "--name value" and "--name=value" both work, "--"
// ends the options, and "-" alone is an input (standard input).

#include "options.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

#include "engine/threshold.h"

namespace quelt::cli {

namespace {

Unexpected<std::string> usage_error(std::string message) { return Unexpected{std::move(message)}; }

}  // namespace

Result<float, std::string> parse_threshold(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const float value = std::strtof(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() ||
      std::isspace(static_cast<unsigned char>(copy.front()))) {
    return usage_error("--threshold: not a number: '" + copy + "'");
  }
  // The engine's own rule (so NaN, inf and 1.5 are refused).
  if (!engine::is_valid_threshold(value)) {
    return usage_error("--threshold must be in [0, 1], got '" + copy + "'");
  }
  return value;
}

Result<double, std::string> parse_seconds(std::string_view option, std::string_view text) {
  const std::string copy(text);
  const std::string name(option);
  char* end = nullptr;
  const double seconds = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() ||
      std::isspace(static_cast<unsigned char>(copy.front()))) {
    return usage_error(name + ": not a number of seconds: '" + copy + "'");
  }
  if (!std::isfinite(seconds) || seconds < 0.0 || seconds > MAX_SILENCE_SECONDS) {
    return usage_error(name + " must be in [0, 60] seconds, got '" + copy + "'");
  }
  return seconds;
}

Result<std::uint64_t, std::string> parse_frames(std::string_view text) {
  std::uint64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  // from_chars takes neither a sign nor leading space, so "-1" and " 5" are refused.
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec == std::errc::invalid_argument || ptr != last) {
    return usage_error("--cooldown: not a whole number of frames: '" + std::string(text) + "'");
  }
  if (ec == std::errc::result_out_of_range) {
    return usage_error("--cooldown: too large: '" + std::string(text) + "'");
  }
  return value;
}

Result<DetectOptions, std::string> parse_detect_options(std::span<const std::string_view> args) {
  DetectOptions options;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_ended || arg == "-" || !arg.starts_with("-")) {
      options.inputs.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    // Split "--name=value".
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (const auto eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    if (name == "--json") {
      if (inline_value) return usage_error("--json takes no value");
      options.json = true;
      continue;
    }
    if (name != "--model" && name != "--threshold" && name != "--cooldown" && name != "--lead" &&
        name != "--tail" && name != "--scores") {
      return usage_error("unknown option '" + std::string(arg) + "'");
    }
    std::string_view value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return usage_error(std::string(name) + " needs a value");
    }
    if (name == "--model") {
      if (value.empty()) return usage_error("--model needs a file name");
      options.models.emplace_back(value);
    } else if (name == "--threshold") {
      auto threshold = parse_threshold(value);
      if (!threshold) return usage_error(std::move(threshold).error());
      options.threshold = threshold.value();
    } else if (name == "--cooldown") {
      auto frames = parse_frames(value);
      if (!frames) return usage_error(std::move(frames).error());
      options.cooldown_frames = frames.value();
    } else if (name == "--lead" || name == "--tail") {
      auto seconds = parse_seconds(name, value);
      if (!seconds) return usage_error(std::move(seconds).error());
      if (name == "--lead") {
        options.lead_frames = static_cast<std::uint64_t>(std::llround(seconds.value() * 100.0));
      } else {
        options.tail_samples = static_cast<std::uint64_t>(std::llround(seconds.value() * 16000.0));
      }
    } else {
      if (value.empty()) return usage_error("--scores needs a file name");
      options.scores_path = std::string(value);
    }
  }
  if (options.inputs.empty()) return usage_error("no input: give audio files, or - for stdin");
  return options;
}

}  // namespace quelt::cli
