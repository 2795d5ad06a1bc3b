// File: python/args.h
//
// Argument handling shared by the methods that take one argument (from_path, from_bytes,
// push_pcm_i16, push_pcm_f32). They are called with a tuple and a keyword dictionary and
// accept their argument by position or by name; the messages for a wrong call name the
// method in full, e.g. "WakeWordEngine.push_pcm_i16() missing 1 required positional
// argument: 'pcm'".
#pragma once

#include "python/py.h"

namespace quelt::python {

// The one argument (a borrowed reference), or nullptr with TypeError set. `method` is the
// full name with parentheses ("WakeWordEngine.from_path()"), `name` the argument's name.
PyObject* single_argument(PyObject* args, PyObject* kwargs, const char* method, const char* name);

}  // namespace quelt::python
