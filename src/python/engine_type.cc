// File: python/engine_type.cc
//
// The WakeWordEngine class: loading (from_bytes, from_path), the two push methods, the
// score, reset, and the threshold and cooldown_frames properties. Each member turns the
// engine's error values into exceptions here, and takes the engine's borrow before it
// touches the session: exclusive for the members that change it, shared for the readers.
// The interpreter lock stays held throughout, so one engine serves one call at a time.

#include "python/engine_type.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/file_reader.h"
#include "engine/load.h"
#include "engine/session.h"
#include "engine/threshold.h"
#include "format/errors.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/conversion.h"
#include "python/detection_type.h"
#include "python/docstrings.h"
#include "python/members.h"
#include "python/os_error.h"
#include "python/py.h"

namespace quelt::python {
namespace {

// The session lives inside the object's own allocation, after this header, at the
// alignment it needs: the interpreter's allocator guarantees 16 bytes, and the session's
// work areas ask for cache-line alignment.
struct EngineObject {
  PyObject_HEAD BorrowFlag borrow;
  engine::Session* session;  // null until constructed
};
constexpr std::size_t SESSION_ROOM = sizeof(engine::Session) + alignof(engine::Session) - 1;
constexpr std::size_t ENGINE_SIZE = sizeof(EngineObject) + SESSION_ROOM;

// `self` as an engine, or nullptr with TypeError set. The instance members are
// descriptors that do not check their receiver (python/members.h), so this is the check
// that a call through the class on another object meets.
EngineObject* engine_of(PyObject* self) {
  if (self == nullptr || Py_TYPE(self) != engine_type()) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'WakeWordEngine'",
                   self == nullptr ? "NoneType" : type_qualname(self).c_str());
    }
    return nullptr;
  }
  return reinterpret_cast<EngineObject*>(self);
}

PyObject* wrap_session(engine::Session session) {
  PyTypeObject* type = engine_type();
  if (type == nullptr) return nullptr;
  PyObject* object = PyType_GenericAlloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* engine = reinterpret_cast<EngineObject*>(object);
  std::construct_at(&engine->borrow);
  void* room = reinterpret_cast<char*>(object) + sizeof(EngineObject);
  std::size_t space = SESSION_ROOM;
  room = std::align(alignof(engine::Session), sizeof(engine::Session), room, space);
  engine->session = std::construct_at(static_cast<engine::Session*>(room), std::move(session));
  return object;
}

// ---- loading ----

PyObject* from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard(
      [&]() -> PyObject* {
        PyObject* bytes = single_argument(args, kwargs, "WakeWordEngine.from_bytes()", "bytes");
        if (bytes == nullptr) return nullptr;
        if (!PyBytes_Check(bytes)) {
          PyErr_Format(PyExc_TypeError,
                       "argument 'bytes': '%s' object cannot be converted to 'PyBytes'",
                       type_qualname(bytes).c_str());
          return nullptr;
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(bytes));
        const auto size = static_cast<std::size_t>(PyBytes_Size(bytes));
        auto session = engine::create_session(std::span(data, size));
        if (session.has_value()) return wrap_session(std::move(session).value());
        Ref text(str_from("quelt_wake_word: " + engine::describe(session.error())));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
      },
      nullptr);
}

// The path in the encoding the kernel sees (the file system encoding, with the surrogate
// escapes that os.fsencode uses), or the reason it has none.
bool path_to_bytes(PyObject* path, std::string& bytes, std::string& failure) {
  Ref encoded(PyUnicode_EncodeFSDefault(path));
  if (!encoded) {
    PyErr_Clear();
    Ref lossy(PyUnicode_AsEncodedString(path, "utf-8", "backslashreplace"));
    if (lossy)
      bytes.assign(PyBytes_AsString(lossy.get()),
                   static_cast<std::size_t>(PyBytes_Size(lossy.get())));
    PyErr_Clear();
    failure = "file name cannot be encoded in the file system encoding";
    return false;
  }
  bytes.assign(PyBytes_AsString(encoded.get()),
               static_cast<std::size_t>(PyBytes_Size(encoded.get())));
  if (bytes.find('\0') != std::string::npos) {
    failure = "file name contained an unexpected NUL byte";
    return false;
  }
  return true;
}

// Every failure of from_path, reading and loading alike, is the same OSError.
PyObject* raise_cannot_open(PyObject* path, const format::WakeWordError& error) {
  const std::string rendering = format::render(error);
  Ref rendered(PyUnicode_DecodeFSDefaultAndSize(rendering.data(),
                                                static_cast<Py_ssize_t>(rendering.size())));
  if (!rendered) return nullptr;
  Ref message(PyUnicode_FromFormat("quelt_wake_word: cannot open %U: %U", path, rendered.get()));
  if (message) PyErr_SetObject(PyExc_OSError, message.get());
  return nullptr;
}

PyObject* from_path(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard(
      [&]() -> PyObject* {
        PyObject* path = single_argument(args, kwargs, "WakeWordEngine.from_path()", "path");
        if (path == nullptr) return nullptr;
        if (!PyUnicode_Check(path)) {
          PyErr_Format(PyExc_TypeError,
                       "argument 'path': '%s' object cannot be converted to 'PyString'",
                       type_qualname(path).c_str());
          return nullptr;
        }
        const auto io_error = [&](const std::string& path_bytes, const std::string& text) {
          return raise_cannot_open(
              path, format::WakeWordError{format::errors::Io{path_bytes + ": " + text}});
        };
        std::string path_bytes;
        std::string failure;
        if (!path_to_bytes(path, path_bytes, failure)) return io_error(path_bytes, failure);
        auto contents = read_whole_file(path_bytes.c_str());
        if (!contents.has_value()) {
          return io_error(path_bytes, os_error_text(contents.error().error_number));
        }

        auto session = engine::create_session(contents.value());
        if (session.has_value()) return wrap_session(std::move(session).value());
        // Either stage's error shows as the model build renders its own, in Core(...).
        return raise_cannot_open(path, format::WakeWordError{std::move(session).error().core});
      },
      nullptr);
}

// ---- pushing ----

template <typename Sample, bool (*Convert)(PyObject*, std::vector<Sample>&),
          std::vector<engine::Detection> (engine::Session::*Push)(std::span<const Sample>)>
PyObject* push(PyObject* self, PyObject* args, PyObject* kwargs, const char* method) {
  return guard(
      [&]() -> PyObject* {
        EngineObject* engine = engine_of(self);
        if (engine == nullptr) return nullptr;
        PyObject* pcm = single_argument(args, kwargs, method, "pcm");
        if (pcm == nullptr) return nullptr;
        // Taken before converting: Python code run by the conversion must not reach
        // this session.
        const Borrow borrow(engine->borrow, Borrow::Kind::EXCLUSIVE);
        if (!borrow.held()) return nullptr;
        std::vector<Sample> samples;
        if (!Convert(pcm, samples)) return nullptr;  // nothing consumed
        const std::vector<engine::Detection> found = (engine->session->*Push)(samples);
        return detection_list(found);
      },
      nullptr);
}

PyObject* push_pcm_i16(PyObject* self, PyObject* args, PyObject* kwargs) {
  return push<std::int16_t, convert_pcm_i16, &engine::Session::push_pcm_i16>(
      self, args, kwargs, "WakeWordEngine.push_pcm_i16()");
}

PyObject* push_pcm_f32(PyObject* self, PyObject* args, PyObject* kwargs) {
  return push<float, convert_pcm_f32, &engine::Session::push_pcm_f32>(
      self, args, kwargs, "WakeWordEngine.push_pcm_f32()");
}

// ---- score and reset ----

PyObject* current_score(PyObject* self, PyObject*) {
  EngineObject* engine = engine_of(self);
  if (engine == nullptr) return nullptr;
  const Borrow borrow(engine->borrow, Borrow::Kind::SHARED);
  if (!borrow.held()) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(engine->session->current_score()));
}

PyObject* reset(PyObject* self, PyObject*) {
  return guard(
      [&]() -> PyObject* {
        EngineObject* engine = engine_of(self);
        if (engine == nullptr) return nullptr;
        const Borrow borrow(engine->borrow, Borrow::Kind::EXCLUSIVE);
        if (!borrow.held()) return nullptr;
        engine->session->reset();
        Py_RETURN_NONE;
      },
      nullptr);
}

// ---- properties ----

int refuse_delete(PyObject* value) {
  if (value != nullptr) return 0;
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

// Shortest decimal that reads back as the same float, never with an exponent:
// "1.5", "2", "-0.25", "10000000000", "340000000000000000000000000000000000000", "inf",
// "NaN". The digits are those of the shortest scientific form, padded with zeros: the
// shortest fixed form of a large float is its exact digits instead
// ("339999995214436424907732413799364296704"), as short as the rounded ones and closer.
std::string shortest_decimal(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  if (result.ec != std::errc()) return "?";
  // "-1.2345e+38": sign, digits around one point, exponent with its sign.
  std::string_view scientific(text, static_cast<std::size_t>(result.ptr - text));
  std::string out;
  if (scientific.front() == '-') {
    out = "-";
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  const std::string_view power = scientific.substr(e + 2);
  std::from_chars(power.data(), power.data() + power.size(), exponent);
  if (scientific[e + 1] == '-') exponent = -exponent;
  if (exponent < 0) {
    return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;  // digits before the point
  if (digits.size() <= whole) return out + digits + std::string(whole - digits.size(), '0');
  return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

PyObject* get_threshold(PyObject* self, void*) {
  EngineObject* engine = engine_of(self);
  if (engine == nullptr) return nullptr;
  const Borrow borrow(engine->borrow, Borrow::Kind::SHARED);
  if (!borrow.held()) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(engine->session->threshold()));
}

int set_threshold(PyObject* self, PyObject* value, void*) {
  EngineObject* engine = engine_of(self);
  if (engine == nullptr || refuse_delete(value) < 0) return -1;
  const double wide = PyFloat_AsDouble(value);
  if (wide == -1.0 && PyErr_Occurred()) {
    prefix_type_error("v");
    return -1;
  }
  // Range-checked after narrowing: 1.00000001 narrows to 1.0 and is accepted.
  const float threshold = narrow_to_f32(wide);
  const Borrow borrow(engine->borrow, Borrow::Kind::EXCLUSIVE);
  if (!borrow.held()) return -1;
  if (!engine::is_valid_threshold(threshold)) {
    PyErr_Format(PyExc_ValueError, "quelt_wake_word: threshold must be in [0, 1], got %s",
                 shortest_decimal(threshold).c_str());
    return -1;
  }
  engine->session->set_threshold(threshold);
  return 0;
}

PyObject* get_cooldown_frames(PyObject* self, void*) {
  EngineObject* engine = engine_of(self);
  if (engine == nullptr) return nullptr;
  const Borrow borrow(engine->borrow, Borrow::Kind::SHARED);
  if (!borrow.held()) return nullptr;
  return PyLong_FromUnsignedLongLong(engine->session->cooldown_frames());
}

int set_cooldown_frames(PyObject* self, PyObject* value, void*) {
  EngineObject* engine = engine_of(self);
  if (engine == nullptr || refuse_delete(value) < 0) return -1;
  unsigned long long frames = 0;
  if (PyLong_Check(value)) {
    frames = PyLong_AsUnsignedLongLong(value);
  } else {
    Ref index(PyNumber_Index(value));
    if (!index) {
      prefix_type_error("v");
      return -1;
    }
    frames = PyLong_AsUnsignedLongLong(index.get());
  }
  // Negative or 2^64 and beyond: the interpreter's OverflowError, unchanged.
  if (frames == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  const Borrow borrow(engine->borrow, Borrow::Kind::EXCLUSIVE);
  if (!borrow.held()) return -1;
  engine->session->set_cooldown_frames(static_cast<std::uint64_t>(frames));
  return 0;
}

// ---- the class ----

PyObject* engine_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for WakeWordEngine");
  return nullptr;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (engine::Session* session = reinterpret_cast<EngineObject*>(self)->session) {
    std::destroy_at(session);
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyMethodDef engine_static_methods[] = {
    {"from_path", as_cfunction(from_path), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     docs::FROM_PATH},
    {"from_bytes", as_cfunction(from_bytes), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     docs::FROM_BYTES},
    {nullptr, nullptr, 0, nullptr},
};

// Not in the type's slots: added as descriptors that leave the receiver check to
// engine_of (python/members.h).
PyMethodDef engine_methods[] = {
    {"push_pcm_i16", as_cfunction(push_pcm_i16), METH_VARARGS | METH_KEYWORDS, docs::PUSH_PCM_I16},
    {"push_pcm_f32", as_cfunction(push_pcm_f32), METH_VARARGS | METH_KEYWORDS, docs::PUSH_PCM_F32},
    {"current_score", current_score, METH_NOARGS, docs::CURRENT_SCORE},
    {"reset", reset, METH_NOARGS, docs::RESET},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"threshold", get_threshold, set_threshold, docs::THRESHOLD, nullptr},
    {"cooldown_frames", get_cooldown_frames, set_cooldown_frames, docs::COOLDOWN_FRAMES, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::ENGINE)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_static_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "quelt_wake_word.WakeWordEngine",
    static_cast<int>(ENGINE_SIZE),
    0,
    Py_TPFLAGS_DEFAULT,  // no BASETYPE: a subclass could skip the session's construction
    engine_slots,
};

}  // namespace

PyTypeObject* engine_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    Ref created(PyType_FromSpec(&engine_spec));
    if (created && add_receiver_checked_members(reinterpret_cast<PyTypeObject*>(created.get()),
                                                engine_methods, engine_getset)) {
      type = created.release();
    }
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quelt::python
