// File: python/detection_type.h
//
// quelt_wake_word.Detection: an independent copy of one engine::Detection with three
// read-only attributes and a fixed repr. Instances come only from the push methods, so
// they stay valid after the engine that made them is reset or freed.
#pragma once

#include <span>

#include "engine/session.h"
#include "python/py.h"

namespace quelt::python {

// The class, created on first use and kept for the life of the process (borrowed).
// nullptr with an exception set if it cannot be created.
PyTypeObject* detection_type();

// A new list holding one new Detection per event, in order.
PyObject* detection_list(std::span<const engine::Detection> detections);

}  // namespace quelt::python
