// File: engine/load_error.h
//
// Why artefact bytes did not become a session, and the one wording of it that users read.
// The stage is kept because the callers tell the two apart: the C interface reports them
// with different status codes, and the messages name the stage that failed.
#pragma once

#include <cstdint>
#include <string>

#include "format/errors.h"

namespace quelt::engine {

struct LoadError {
  enum class Stage : std::uint8_t {
    Deserialize,  // the artefact could not be read
    ModelBuild,   // the model could not be built from the artefact's tensors
  };
  Stage stage;
  // The reader's error, or the one the model build's WakeWordError wraps.
  format::CoreError core;
};

// The stage and the error as the command-line tool and the Python module show them, after
// what was being loaded:
//   .qelt deserialize failed: FormatTruncated { offset: 0, needed: 64, actual: 10 }
//   model build failed: Core(MissingTensor { name: "head.bias" })
std::string describe(const LoadError& error);

}  // namespace quelt::engine
