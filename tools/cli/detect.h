// File: tools/cli/detect.h
//
// `quelt-wake-word detect`: scores audio inputs one after another with one engine per
// model (all reset between inputs, so each starts at frame 0) and prints one line per
// detection naming the wake word, as text or as JSON lines, optionally with every frame's
// score of every model in a CSV file.
#pragma once

#include "options.h"

namespace quelt::cli {

// Returns the exit code.
int run_detect(const DetectOptions& options);

}  // namespace quelt::cli
