// File: tools/cli/model_file.h
//
// Finding, reading and loading the model for the CLI, with errors worded for the user:
// the path, the stage that failed and the library's rendering of the error (the same
// words the Python module uses), never a bare status number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "engine/session.h"

namespace quelt::cli {

// The model used when --model is not given: the bundled model installed beside the tool
// (<prefix>/share/quelt_wake_word/, found from the tool's own location, so an installed
// tree may move), else the one in the source tree the tool was built from. Nothing when
// neither file exists.
std::optional<std::string> default_model_path();

// The whole file; the error is "cannot open PATH: <system's reason>", whichever call
// failed (a directory opens, then fails to read).
Result<std::vector<std::uint8_t>, std::string> read_model_file(const std::string& path);

// A model ready to listen: its engine session and the artefact's config (JSON text).
struct LoadedModel {
  engine::Session session;
  std::string config;
};

// Reads the file and builds an engine session with the library's default settings.
Result<LoadedModel, std::string> load_model(const std::string& path);

}  // namespace quelt::cli
