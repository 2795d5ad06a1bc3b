// File: python/detection_type.cc
//
// The Detection class, built from a type spec as the stable ABI requires. It defines no
// comparison or hash of its own; repr (and so str) shows the three fields with fixed
// decimals, e.g. "Detection(frame_index=150, timestamp_sec=1.500, score=0.9731)".

#include "python/detection_type.h"

#include <cinttypes>
#include <cstdio>
#include <memory>

#include "python/docstrings.h"
#include "python/py.h"

namespace quelt::python {
namespace {

struct DetectionObject {
  PyObject_HEAD engine::Detection detection;
};

const engine::Detection& detection_of(PyObject* self) {
  return reinterpret_cast<DetectionObject*>(self)->detection;
}

PyObject* get_frame_index(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(detection_of(self).frame_index);
}

// Single precision widens exactly to a Python float.
PyObject* get_timestamp_sec(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(detection_of(self).timestamp_sec));
}

PyObject* get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(detection_of(self).score));
}

// printf rounds the exact binary value to the requested decimals, never with an exponent.
PyObject* detection_repr(PyObject* self) {
  const engine::Detection& d = detection_of(self);
  char text[160];
  std::snprintf(text, sizeof text,
                "Detection(frame_index=%" PRIu64 ", timestamp_sec=%.3f, score=%.4f)", d.frame_index,
                static_cast<double>(d.timestamp_sec), static_cast<double>(d.score));
  return PyUnicode_FromString(text);
}

PyObject* detection_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Detection");
  return nullptr;
}

void detection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyGetSetDef detection_getset[] = {
    {"frame_index", get_frame_index, nullptr, docs::FRAME_INDEX, nullptr},
    {"timestamp_sec", get_timestamp_sec, nullptr, docs::TIMESTAMP_SEC, nullptr},
    {"score", get_score, nullptr, docs::SCORE, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot detection_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::DETECTION)},
    {Py_tp_new, reinterpret_cast<void*>(detection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(detection_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(detection_repr)},
    {Py_tp_getset, detection_getset},
    {0, nullptr},
};

PyType_Spec detection_spec = {
    "quelt_wake_word.Detection",
    static_cast<int>(sizeof(DetectionObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    detection_slots,
};

}  // namespace

PyTypeObject* detection_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&detection_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* detection_list(std::span<const engine::Detection> detections) {
  PyTypeObject* type = detection_type();
  if (type == nullptr) return nullptr;
  Ref list(PyList_New(static_cast<Py_ssize_t>(detections.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < detections.size(); ++i) {
    PyObject* item = PyType_GenericAlloc(type, 0);
    if (item == nullptr) return nullptr;
    std::construct_at(&reinterpret_cast<DetectionObject*>(item)->detection, detections[i]);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

}  // namespace quelt::python
