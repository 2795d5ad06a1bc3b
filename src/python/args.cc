// File: python/args.cc
//
// One-argument parsing, the type-name lookup and the TypeError prefixing of the module's
// messages. Written by hand because the interpreter's own parser words its errors
// differently.

#include "python/args.h"

#include <string>

#include "python/py.h"

namespace quelt::python {

std::string type_qualname(PyObject* object) {
  // PyType_GetQualName is newer than the stable ABI this module targets.
  Ref qualname(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    return "?";
  }
  Ref utf8(PyUnicode_AsEncodedString(qualname.get(), "utf-8", "backslashreplace"));
  if (!utf8) {
    PyErr_Clear();
    return "?";
  }
  return std::string(PyBytes_AsString(utf8.get()),
                     static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}

void prefix_type_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  // Exact type only: a subclass of TypeError carries meaning of its own and passes as is.
  if (type != PyExc_TypeError || value == nullptr) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  Ref old_type(type);
  Ref old_value(value);
  Ref old_traceback(traceback);
  Ref message(PyObject_Str(value));
  if (!message) return;  // the failure of str() is the pending error now
  Ref prefixed(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!prefixed) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, prefixed.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(value)) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  if (traceback != nullptr) {
    PyException_SetTraceback(replacement.get(), traceback);
  }
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), old_traceback.release());
}

PyObject* single_argument(PyObject* args, PyObject* kwargs, const char* method, const char* name) {
  const Py_ssize_t n_positional = PyTuple_Size(args);
  if (n_positional < 0) return nullptr;
  if (n_positional > 1) {
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", method,
                 n_positional);
    return nullptr;
  }
  PyObject* value = n_positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &item)) {
      const bool is_name = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
      if (!is_name) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", method, key);
        return nullptr;
      }
      if (value != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", method, name);
        return nullptr;
      }
      value = item;
    }
  }
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", method, name);
  }
  return value;
}

}  // namespace quelt::python
