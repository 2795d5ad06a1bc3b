// File: engine/load.h
//
// Creating an engine from the bytes of a .qelt v2 artefact, as both front doors do:
// read the artefact, build the model from its tensor table, construct a Session with the
// default configuration. The error says which stage failed, because the C interface
// reports the two stages with different status codes and the Python module with
// different message prefixes.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "common/result.h"
#include "engine/session.h"
#include "format/errors.h"

namespace quelt::engine {

// index 0: the artefact could not be read (deserialize stage, a CoreError);
// index 1: the model could not be built from its tensors (build stage, a WakeWordError).
using LoadError = std::variant<format::CoreError, format::WakeWordError>;

Result<Session, LoadError> create_session(std::span<const std::uint8_t> artefact_bytes);

}  // namespace quelt::engine
