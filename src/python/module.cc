// File: python/module.cc
//
// The extension module quelt_wake_word: its initialisation function, the module's
// attributes (__version__, WakeWordEngine, Detection, each listed in __all__ in that
// order), and the refusal of subinterpreters. The classes and the module hold process-wide
// state (static type objects), which one interpreter can own and a second could not
// share safely, so the module remembers the first interpreter that imports it and refuses
// the others. Re-initialisation in the same interpreter (after the module was removed from
// sys.modules) returns the module object made the first time.

#include <cstdint>

#include "common/version.h"
#include "python/detection_type.h"
#include "python/docstrings.h"
#include "python/engine_type.h"
#include "python/py.h"

namespace {

using quelt::python::Ref;

// m_size 0 rather than -1: the interpreter then calls the initialisation function again
// for a subinterpreter, instead of silently copying this interpreter's module dictionary,
// and the refusal below gets its chance to run.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quelt_wake_word",
    quelt::python::docs::MODULE,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

// Sets module.name = value (a new reference, consumed) and appends name to __all__,
// creating the list on first use.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr || PyDict_SetItemString(dict, name, owned.get()) < 0) return false;
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    Ref fresh(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();  // the dictionary keeps it alive
  }
  Ref name_str(PyUnicode_FromString(name));
  return name_str && PyList_Append(all, name_str.get()) == 0;
}

PyObject* type_ref(PyTypeObject* type) {
  Py_XINCREF(type);
  return reinterpret_cast<PyObject*>(type);
}

PyObject* create_module() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!add_public(module.get(), "__version__",
                  PyUnicode_FromString(quelt::PYTHON_MODULE_VERSION)) ||
      !add_public(module.get(), "WakeWordEngine", type_ref(quelt::python::engine_type())) ||
      !add_public(module.get(), "Detection", type_ref(quelt::python::detection_type()))) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

// The entry point the interpreter looks up by the module's name.
PyMODINIT_FUNC PyInit_quelt_wake_word(void);

PyMODINIT_FUNC PyInit_quelt_wake_word(void) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) return nullptr;
  if (owner_interpreter != -1 && interpreter != owner_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "quelt_wake_word does not support subinterpreters: it can be imported "
                    "in one interpreter per process only");
    return nullptr;
  }
  if (the_module == nullptr) {
    the_module = create_module();
    if (the_module == nullptr) return nullptr;
    owner_interpreter = interpreter;
  }
  Py_INCREF(the_module);  // one reference stays with us for the life of the process
  return the_module;
}
