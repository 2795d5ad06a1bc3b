// File: engine/load.cc
//
// create_session: artefact bytes -> ModelArtefact -> WakeWordModel -> Session with the
// default configuration, the one road both front doors take. The artefact (a copy of
// every tensor's bytes) is released as soon as the model holds its own floats.
#include "engine/load.h"

#include <utility>

#include "format/artefact.h"
#include "nn/model.h"

namespace quelt::engine {

Result<Session, LoadError> create_session(std::span<const std::uint8_t> artefact_bytes) {
  auto model = [&]() -> Result<nn::WakeWordModel, LoadError> {
    auto artefact = format::deserialize_artefact(artefact_bytes);
    if (!artefact.has_value()) {
      return Unexpected{LoadError{LoadError::Stage::Deserialize, std::move(artefact).error()}};
    }
    auto built = nn::build_model(artefact.value().tensors);
    if (!built.has_value()) {
      return Unexpected{LoadError{LoadError::Stage::ModelBuild, std::move(built).error().core}};
    }
    return std::move(built).value();
  }();  // the artefact ends here, whatever the outcome
  if (!model.has_value()) return Unexpected{std::move(model).error()};
  return Session(std::move(model).value(), SessionConfig{});
}

}  // namespace quelt::engine
