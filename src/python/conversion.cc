// File: python/conversion.cc
//
// The element path follows the interpreter's conversion rules step by step (str refused,
// sequence check, length as a capacity hint, iteration, per-element conversion); the
// buffer path is an optimisation in front of it that must never change an outcome.
//
// Why the buffer path is safe only for some objects:
// - Iteration must yield the buffer's elements in order. That holds for bytes, bytearray,
//   memoryview, array.array and numpy.ndarray themselves, but a subclass may override
//   __iter__ or __getitem__, so only these exact types qualify.
// - Only one-dimensional buffers: iterating a 2-D array yields rows, which the element
//   path refuses (or, for rows of one, converts), so those stay on the element path.
// - Only formats whose element conversion cannot fail for the target type: every int8,
//   uint8 and int16 value fits in i16; every int8, uint8, int16, float32 and float64
//   value converts to f32. A float buffer pushed as i16 would fail per element (floats
//   have no __index__), so it takes the element path, which raises that very error.
// The stable ABI of 3.9 has no buffer protocol call, so the bytes come through a
// memoryview's tobytes(), which also puts a strided view's elements in logical order.

#include "python/conversion.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "python/py.h"

namespace quelt::python {
namespace {

// A lying __len__ must not make us reserve gigabytes: the length only sizes the first
// allocation, the vector still grows as far as the elements go.
constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{1} << 24;

enum class Format { I8, U8, I16, F32, F64 };

struct RawBuffer {
  Ref owner;  // keeps `data` alive
  const char* data = nullptr;
  std::size_t n_bytes = 0;
  Format format = Format::U8;
};

std::size_t item_size(Format format) {
  switch (format) {
    case Format::I8:
    case Format::U8:
      return 1;
    case Format::I16:
      return 2;
    case Format::F32:
      return 4;
    case Format::F64:
      return 8;
  }
  return 1;
}

// struct-module format codes of native numbers: "h", "@h", "=h", and "<h" (">h") where
// that is the machine's byte order.
bool parse_format(PyObject* format_str, Format& format) {
  Ref ascii(PyUnicode_AsASCIIString(format_str));
  if (!ascii) {
    PyErr_Clear();
    return false;
  }
  std::string code(PyBytes_AsString(ascii.get()));
  constexpr char NATIVE_ORDER = std::endian::native == std::endian::little ? '<' : '>';
  if (code.size() == 2 && (code[0] == '@' || code[0] == '=' || code[0] == NATIVE_ORDER)) {
    code.erase(0, 1);
  }
  if (code == "b") {
    format = Format::I8;
  } else if (code == "B") {
    format = Format::U8;
  } else if (code == "h") {
    format = Format::I16;
  } else if (code == "f") {
    format = Format::F32;
  } else if (code == "d") {
    format = Format::F64;
  } else {
    return false;
  }
  return true;
}

// Whether `object` is exactly `module.name`. A module that was never imported cannot have
// made the object, so nothing is imported here.
bool is_exact_type(PyObject* object, const char* module, const char* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* found = PyDict_GetItemString(modules, module);
  if (found == nullptr) return false;
  Ref type(PyObject_GetAttrString(found, name));
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(object)) == type.get();
}

Ref attribute(PyObject* object, const char* name) {
  return Ref(PyObject_GetAttrString(object, name));
}

// The buffer of a memoryview over `object`, if it is one-dimensional in a format above.
bool memoryview_buffer(PyObject* object, RawBuffer& buffer) {
  Ref view(PyMemoryView_FromObject(object));
  if (!view) return false;
  Ref ndim = attribute(view.get(), "ndim");
  if (!ndim || PyLong_AsLong(ndim.get()) != 1) return false;
  Ref format = attribute(view.get(), "format");
  if (!format || !parse_format(format.get(), buffer.format)) return false;
  Ref itemsize = attribute(view.get(), "itemsize");
  if (!itemsize || PyLong_AsLong(itemsize.get()) != static_cast<long>(item_size(buffer.format))) {
    return false;
  }
  Ref bytes(PyObject_CallMethod(view.get(), "tobytes", nullptr));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  buffer.data = data;
  buffer.n_bytes = static_cast<std::size_t>(size);
  buffer.owner = std::move(bytes);
  return true;
}

// The bytes behind `pcm` when the buffer path applies to it; false otherwise, with no
// exception left pending.
bool raw_buffer(PyObject* pcm, RawBuffer& buffer) {
  if (PyBytes_CheckExact(pcm)) {
    buffer.data = PyBytes_AsString(pcm);
    buffer.n_bytes = static_cast<std::size_t>(PyBytes_Size(pcm));
    buffer.format = Format::U8;
    return true;
  }
  if (PyByteArray_CheckExact(pcm)) {
    buffer.data = PyByteArray_AsString(pcm);
    buffer.n_bytes = static_cast<std::size_t>(PyByteArray_Size(pcm));
    buffer.format = Format::U8;
    return true;
  }
  if (PyList_Check(pcm) || PyTuple_Check(pcm)) return false;  // no buffer: skip the lookups
  if (!PyMemoryView_Check(pcm) && !is_exact_type(pcm, "array", "array") &&
      !is_exact_type(pcm, "numpy", "ndarray")) {
    return false;
  }
  if (!memoryview_buffer(pcm, buffer)) {
    // Whatever went wrong (a released view, an object dtype), the element path decides.
    PyErr_Clear();
    return false;
  }
  return true;
}

template <typename Source, typename Sample, typename Convert>
void convert_all(const RawBuffer& buffer, std::vector<Sample>& out, Convert convert) {
  const std::size_t n = buffer.n_bytes / sizeof(Source);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    Source value;
    std::memcpy(&value, buffer.data + i * sizeof(Source), sizeof(Source));  // any alignment
    out[i] = convert(value);
  }
}

// float32 -> Python float -> float32 is the identity except on signalling NaNs, which the
// widening quiets; the element path widens, so this does the same.
float through_double(float value) {
  if (!std::isnan(value)) return value;
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | 0x00400000u);
}

// Returns true when the buffer path converted `pcm`.
bool buffer_path_i16(PyObject* pcm, std::vector<std::int16_t>& out) {
  RawBuffer buffer;
  if (!raw_buffer(pcm, buffer)) return false;
  const auto widen = [](auto v) { return static_cast<std::int16_t>(v); };
  switch (buffer.format) {
    case Format::I8:
      convert_all<std::int8_t>(buffer, out, widen);
      return true;
    case Format::U8:
      convert_all<std::uint8_t>(buffer, out, widen);
      return true;
    case Format::I16:
      out.resize(buffer.n_bytes / sizeof(std::int16_t));
      if (!out.empty()) {  // an empty vector's data() may be null, even for 0 bytes
        std::memcpy(out.data(), buffer.data, out.size() * sizeof(std::int16_t));
      }
      return true;
    case Format::F32:
    case Format::F64:
      return false;  // refused per element: the element path raises the TypeError
  }
  return false;
}

bool buffer_path_f32(PyObject* pcm, std::vector<float>& out) {
  RawBuffer buffer;
  if (!raw_buffer(pcm, buffer)) return false;
  const auto exact = [](auto v) { return static_cast<float>(v); };
  switch (buffer.format) {
    case Format::I8:
      convert_all<std::int8_t>(buffer, out, exact);
      return true;
    case Format::U8:
      convert_all<std::uint8_t>(buffer, out, exact);
      return true;
    case Format::I16:
      convert_all<std::int16_t>(buffer, out, exact);
      return true;
    case Format::F32:
      convert_all<float>(buffer, out, through_double);
      return true;
    case Format::F64:
      convert_all<double>(buffer, out, narrow_to_f32);
      return true;
  }
  return false;
}

// Steps 1 and 2: what may not be converted at all.
bool check_sequence(PyObject* pcm) {
  if (PyUnicode_Check(pcm)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(pcm)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 type_qualname(pcm).c_str());
    return false;
  }
  return true;
}

// Steps 3 and 4: one interpreter call per element; the first failure ends it.
template <typename Sample, typename Convert>
bool element_path(PyObject* pcm, std::vector<Sample>& out, Convert convert) {
  const Py_ssize_t length = PySequence_Size(pcm);
  if (length < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min(length, MAX_RESERVE)));
  }
  Ref iterator(PyObject_GetIter(pcm));
  if (!iterator) return false;
  while (PyObject* raw_item = PyIter_Next(iterator.get())) {
    Ref item(raw_item);
    Sample sample;
    if (!convert(item.get(), sample)) return false;
    out.push_back(sample);
  }
  return !PyErr_Occurred();
}

bool element_to_i16(PyObject* item, std::int16_t& sample) {
  long value = 0;
  if (PyLong_Check(item)) {
    value = PyLong_AsLong(item);
  } else {
    Ref index(PyNumber_Index(item));
    if (!index) return false;
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < INT16_MIN || value > INT16_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  sample = static_cast<std::int16_t>(value);
  return true;
}

bool element_to_f32(PyObject* item, float& sample) {
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) return false;
  sample = narrow_to_f32(value);
  return true;
}

template <typename Sample, typename BufferPath, typename Element>
bool convert_pcm(PyObject* pcm, std::vector<Sample>& out, BufferPath buffer_path, Element element) {
  bool ok = check_sequence(pcm);
  if (ok && !buffer_path(pcm, out)) {
    out.clear();
    ok = element_path(pcm, out, element);
  }
  if (!ok) prefix_type_error("pcm");
  return ok;
}

}  // namespace

bool convert_pcm_i16(PyObject* pcm, std::vector<std::int16_t>& out) {
  return convert_pcm(pcm, out, buffer_path_i16, element_to_i16);
}

bool convert_pcm_f32(PyObject* pcm, std::vector<float>& out) {
  return convert_pcm(pcm, out, buffer_path_f32, element_to_f32);
}

}  // namespace quelt::python
