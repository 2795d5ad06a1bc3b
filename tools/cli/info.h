// File: tools/cli/info.h
//
// `quelt-wake-word info MODEL`: what a user may want to know about an artefact (format
// version, model type, the wake word its detections are reported under, tensor count and
// dtypes, parameter count, whether the engine can be built from it), or the load error.
#pragma once

#include <string>

namespace quelt::cli {

// Returns the exit code: EXIT_OK, or EXIT_MODEL if the artefact cannot be used.
int run_info(const std::string& path);

}  // namespace quelt::cli
