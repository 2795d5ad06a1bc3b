// File: engine/load_error.cc
//
// The wording of load errors. A build error is shown as the model build's WakeWordError
// renders it, wrapped in Core(...); a reader's error stands alone.
#include "engine/load_error.h"

namespace quelt::engine {

std::string describe(const LoadError& error) {
  if (error.stage == LoadError::Stage::Deserialize) {
    return ".qelt deserialize failed: " + format::render(error.core);
  }
  return "model build failed: " + format::render(format::WakeWordError{error.core});
}

}  // namespace quelt::engine
