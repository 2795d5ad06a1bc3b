// File: python/engine_type.h
//
// quelt_wake_word.WakeWordEngine: one engine::Session held by value, guarded by a borrow
// counter. Engines come only from the static methods from_path and from_bytes.
#pragma once

#include "python/py.h"

namespace quelt::python {

// The class, created on first use and kept for the life of the process (borrowed).
// nullptr with an exception set if it cannot be created.
PyTypeObject* engine_type();

}  // namespace quelt::python
