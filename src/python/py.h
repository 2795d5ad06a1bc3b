// File: python/py.h
//
// The one way this module includes the interpreter's headers. The module is built against
// the stable ABI of CPython 3.9 (Py_LIMITED_API = 0x03090000, set by the build), so one
// binary imports in every CPython from 3.9 on; the compiler then refuses any call outside
// that ABI. Also small helpers that every file of the module needs.
#pragma once

#ifndef Py_LIMITED_API
#error "the module is built on the stable ABI: define Py_LIMITED_API=0x03090000"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quelt::python {

// Owns one reference; releases it on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = other.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

// A method table entry wants a PyCFunction; the casts through void(*)(void) are the
// sanctioned way to store the other calling conventions there.
template <typename F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// A Python str from UTF-8 bytes; byte sequences that are not UTF-8 (a file name in a
// foreign encoding) come back as the surrogates the interpreter uses for them.
inline PyObject* str_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

// The __qualname__ of an object's type, as the error messages show it; "?" if the type
// has none that is a str.
std::string type_qualname(PyObject* object);

// If the pending exception is exactly a TypeError, replaces it with a TypeError whose
// message is "argument '<name>': " followed by the old message, keeping the old cause
// and traceback. Any other exception, subclasses of TypeError included, stays as it is.
void prefix_type_error(const char* name);

// No C++ exception may unwind through the interpreter. The engine reports its errors as
// values, so only allocation can still throw; that becomes MemoryError.
template <typename F>
auto guard(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
  return on_error;
}

}  // namespace quelt::python
