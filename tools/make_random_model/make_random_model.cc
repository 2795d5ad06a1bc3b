// File: tools/make_random_model/make_random_model.cc
//
// make-random-model --seed N [--fp16] [--config JSON] -o FILE.qelt
//
// Writes a valid .qelt v2 artefact of the engine's architecture with random weights, for
// test suites that need a model that loads (the C interface's, the Python module's, the
// command-line tool's). Weights are scaled so that activations stay in a sane range; the
// same seed gives the same model on every machine, and the same weights with and without
// --fp16. --config sets the manifest's config, verbatim (default {}), e.g. a model's
// {"wake_word": "hey nova"}. Exit status 0 on success, 1 if the file cannot be written, 2 on bad
// usage.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "random_artefact.h"

namespace {

int usage(const char* message) {
  std::fprintf(stderr,
               "make-random-model: %s\n"
               "usage: make-random-model --seed N [--fp16] [--config JSON] -o FILE.qelt\n",
               message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t seed = 0;
  bool have_seed = false;
  bool fp16 = false;
  std::string output;
  std::string config = "{}";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--fp16") {
      fp16 = true;
    } else if (arg == "--seed" || arg == "--config" || arg == "-o") {
      if (i + 1 >= argc) return usage("missing value after an option");
      const std::string_view value = argv[++i];
      if (arg == "-o") {
        output = value;
      } else if (arg == "--config") {
        config = value;
      } else {
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seed);
        if (ec != std::errc() || end != value.data() + value.size()) {
          return usage("--seed takes an unsigned integer");
        }
        have_seed = true;
      }
    } else {
      return usage("unknown argument");
    }
  }
  if (!have_seed) return usage("--seed is required");
  if (output.empty()) return usage("-o is required");

  const std::vector<std::uint8_t> file = quelt::testing::random_model_artefact(seed, fp16, config);
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "make-random-model: cannot write %s: %s\n", output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  return 0;
}
