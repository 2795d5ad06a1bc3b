// File: python/conversion.h
//
// Turning the `pcm` argument of a push into samples. The element path takes any object
// that passes the interpreter's sequence check and converts it element by element, one
// interpreter call per sample. The buffer path serves the objects people actually push
// (numpy arrays, array.array, bytes, bytearray, memoryview) by copying their buffer once;
// it gives exactly the samples the element path would, and leaves to the element path
// every case where that one would fail or where the equality is not certain.
#pragma once

#include <cstdint>
#include <vector>

#include "python/py.h"

namespace quelt::python {

// Each returns true with `out` holding the samples, or false with a Python exception set
// and `out` unspecified. Exact TypeErrors carry the prefix "argument 'pcm': ".
bool convert_pcm_i16(PyObject* pcm, std::vector<std::int16_t>& out);
bool convert_pcm_f32(PyObject* pcm, std::vector<float>& out);

// A Python float narrowed to single precision: round to nearest, out of range to
// infinity. Shared by both paths so that they cannot drift apart.
inline float narrow_to_f32(double value) { return static_cast<float>(value); }

}  // namespace quelt::python
