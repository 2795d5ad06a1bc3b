// File: benchmarks/python/conversion_bench_module.cc
//
// quelt_conversion_bench: a benchmark-only extension module that runs the push methods'
// conversion of `pcm` and nothing else, so that its cost can be timed without the engine's
// per-frame work. It links the very conversion code of quelt_wake_word; which path a call
// takes depends on the object passed, exactly as in a push.

#include <cstdint>
#include <vector>

#include "python/conversion.h"
#include "python/py.h"

namespace {

// Each returns the number of samples converted.
PyObject* convert_i16(PyObject*, PyObject* pcm) {
  std::vector<std::int16_t> samples;
  if (!quelt::python::convert_pcm_i16(pcm, samples)) return nullptr;
  return PyLong_FromSize_t(samples.size());
}

PyObject* convert_f32(PyObject*, PyObject* pcm) {
  std::vector<float> samples;
  if (!quelt::python::convert_pcm_f32(pcm, samples)) return nullptr;
  return PyLong_FromSize_t(samples.size());
}

PyMethodDef methods[] = {
    {"convert_i16", convert_i16, METH_O, "Convert pcm as push_pcm_i16 does; returns the count."},
    {"convert_f32", convert_f32, METH_O, "Convert pcm as push_pcm_f32 does; returns the count."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quelt_conversion_bench",
    "The pcm conversion alone, for timing.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quelt_conversion_bench(void);

PyMODINIT_FUNC PyInit_quelt_conversion_bench(void) { return PyModule_Create(&module_def); }
