// File: engine/load.h
//
// Creating an engine from the bytes of a .qelt v2 artefact, as both front doors do:
// read the artefact, build the model from its tensor table, construct a Session with the
// default configuration. The error says which stage failed (engine/load_error.h).
#pragma once

#include <cstdint>
#include <span>

#include "common/result.h"
#include "engine/load_error.h"
#include "engine/session.h"

namespace quelt::engine {

Result<Session, LoadError> create_session(std::span<const std::uint8_t> artefact_bytes);

}  // namespace quelt::engine
