// File: tools/cli/options.h
//
// Command-line options of `quelt-wake-word detect` and the exit codes of the tool. Parsing
// is separate from running so that every malformed command line ends in a usage error
// (exit code 2) before a model or an audio file is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace quelt::cli {

// Exit codes; the worst outcome over all inputs wins (a usage error ends at once).
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_AUDIO = 1;   // an input could not be read (the others were)
inline constexpr int EXIT_USAGE = 2;   // bad command line
inline constexpr int EXIT_MODEL = 3;   // the model is missing, unreadable or broken
inline constexpr int EXIT_OUTPUT = 4;  // the scores file could not be written

// A listening device has heard its room long before anyone speaks, and the model scores a
// word the same after any room, so nothing is fed before an input unless asked for.
inline constexpr std::uint64_t DEFAULT_LEAD_FRAMES = 0;       // in 10 ms steps
inline constexpr std::uint64_t DEFAULT_TAIL_SAMPLES = 16000;  // 1 s at 16 kHz
inline constexpr double MAX_SILENCE_SECONDS = 60.0;

struct DetectOptions {
  // Each --model in order, every one listening to every input; none: the bundled model.
  std::vector<std::string> models;
  std::optional<float> threshold;  // unset: the engine's default (0.9)
  std::optional<std::uint64_t> cooldown_frames;
  // Silence fed before each input, in whole frames so that the input's frames stay the
  // frames it would have alone. A session starts from its warm-up, which is not the state
  // that a second of silence leaves: the network's receptive field (2.4 s) is longer than
  // the warm-up (2 s), so the pool starts full of an embedding that scores far below
  // silence. A word at the very start of a recording pays for it; a listening device has
  // heard its room long before anyone speaks.
  std::uint64_t lead_frames = DEFAULT_LEAD_FRAMES;
  // Silence fed after each input. A word's score peaks a few tenths of a second after the
  // word ends, so a recording that stops right after it would otherwise never detect it;
  // a listening device would go on hearing the room.
  std::uint64_t tail_samples = DEFAULT_TAIL_SAMPLES;
  bool json = false;
  std::optional<std::string> scores_path;
  std::vector<std::string> inputs;  // "-": raw s16le 16 kHz mono on standard input
};

// The arguments after "detect". The error is one line for the user.
Result<DetectOptions, std::string> parse_detect_options(std::span<const std::string_view> args);

// A finite number in [0, 1], the whole text.
Result<float, std::string> parse_threshold(std::string_view text);
// Seconds of silence for the option named (--lead, --tail): a finite number in [0, 60].
Result<double, std::string> parse_seconds(std::string_view option, std::string_view text);
// A whole non-negative decimal number of frames that fits in 64 bits.
Result<std::uint64_t, std::string> parse_frames(std::string_view text);

}  // namespace quelt::cli
