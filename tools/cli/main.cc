// File: tools/cli/main.cc
//
// quelt-wake-word: try the wake-word engine from the shell.
//   quelt-wake-word detect [--model FILE]... [--threshold T] [--cooldown N] [--lead S]
//                          [--tail S] [--json] [--scores FILE.csv] INPUT...
//   quelt-wake-word info MODEL
// Dispatches to the commands; all reporting of errors happens here or in them, worded
// for a user (the engine itself never prints).

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/version.h"
#include "detect.h"
#include "info.h"
#include "options.h"

namespace {

constexpr const char* USAGE =
    "usage: quelt-wake-word detect [--model FILE]... [--threshold T] [--cooldown N] [--lead S]\n"
    "                              [--tail S] [--json] [--scores FILE.csv] INPUT...\n"
    "       quelt-wake-word info MODEL\n"
    "       quelt-wake-word --help | --version\n"
    "\n"
    "detect   prints one line per detection, fields separated by tabs:\n"
    "           file, wake word, time (s), score\n"
    "         in time order, then in --model order; with --json, one JSON object per line.\n"
    "         INPUT is an audio file (WAV, FLAC, OGG, ...; any sample rate and channel\n"
    "         count), a .raw/.pcm file or - (standard input), both raw signed 16-bit\n"
    "         little-endian 16 kHz mono:\n"
    "           arecord -f S16_LE -r 16000 -c 1 | quelt-wake-word detect -\n"
    "  --model FILE      a .qelt model (default: the bundled model for \"computer\"); give it\n"
    "                    again for more models, each listening to the same audio. A model's\n"
    "                    wake word is its config's \"wake_word\", else its file name without\n"
    "                    .qelt; models that share a word are named \"word (FILE)\"\n"
    "  --threshold T     score in [0, 1] a frame must reach to detect (default 0.9)\n"
    "  --cooldown N      frames (10 ms each) not tested after a detection (default 100);\n"
    "                    both apply to every model\n"
    "  --lead S          seconds of silence fed before each input (default 0); frames\n"
    "                    and times still count from the input's start\n"
    "  --tail S          seconds of silence fed after each input, so that a wake word at\n"
    "                    its very end is still detected (default 1; 0 for none)\n"
    "  --json            JSON lines: file, wake_word, frame_index, time_sec, score\n"
    "  --scores FILE     write every frame's score of every model as CSV:\n"
    "                    file,wake_word,frame_index,time_sec,score\n"
    "info     describes a model artefact (its wake word too), or says why it cannot be loaded\n"
    "\n"
    "exit status: 0 ok, 1 an input could not be read, 2 bad command line,\n"
    "             3 a model missing or broken, 4 scores file not writable\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "quelt-wake-word: %s\n%s", message.c_str(), USAGE);
  return quelt::cli::EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) return usage_error("no command");
  const std::string_view command = args.front();
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(USAGE, stdout);
    return quelt::cli::EXIT_OK;
  }
  if (command == "--version") {
    std::printf("quelt-wake-word %s\n", quelt::C_LIBRARY_VERSION);
    return quelt::cli::EXIT_OK;
  }
  const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
  if (command == "detect") {
    auto options = quelt::cli::parse_detect_options(rest);
    if (!options) return usage_error(options.error());
    return quelt::cli::run_detect(options.value());
  }
  if (command == "info") {
    if (rest.size() != 1) return usage_error("info takes one model file");
    return quelt::cli::run_info(std::string(rest.front()));
  }
  return usage_error("unknown command '" + std::string(command) + "'");
}
