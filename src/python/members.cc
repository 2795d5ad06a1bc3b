// File: python/members.cc
//
// The two descriptor classes behind add_receiver_checked_members, made from type specs like
// the module's own classes and kept for the life of the process. A descriptor holds its
// static table entry and a reference to the class it belongs to (never released: the
// class lives as long as the process too). A call through the class binds the first
// argument as the receiver, whatever it is, and calls the bound method with the rest, so
// argument errors read the same either way.

#include "python/members.h"

#include <cstring>
#include <string>
#include <string_view>

namespace quelt::python {
namespace {

struct MemberObject {
  PyObject_HEAD PyObject* owner;  // the class; a strong reference
  PyMethodDef* method;            // exactly one of these two is set
  PyGetSetDef* getset;
};

MemberObject* member_of(PyObject* self) { return reinterpret_cast<MemberObject*>(self); }

const char* name_of(const MemberObject* member) {
  return member->method != nullptr ? member->method->ml_name : member->getset->name;
}

// A method's docstring may start with its text signature, as the interpreter's built-ins
// do: "name($self, pcm)\n--\n\n" then the documentation proper. Returns the signature
// "($self, pcm)" (empty if there is none) and sets `doc` to what follows it.
std::string_view split_signature(const char* name, const char* docstring, const char*& doc) {
  doc = docstring;
  if (docstring == nullptr) return {};
  const std::size_t name_len = std::strlen(name);
  if (std::strncmp(docstring, name, name_len) != 0 || docstring[name_len] != '(') return {};
  const char* end = std::strstr(docstring, ")\n--\n\n");
  if (end == nullptr) return {};
  doc = end + 6;
  return std::string_view(docstring + name_len,
                          static_cast<std::size_t>(end + 1 - docstring) - name_len);
}

PyObject* str_or_none(const char* text) {
  if (text == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(text);
}

// "quelt_wake_word.WakeWordEngine", as the interpreter names a class in its messages.
PyObject* dotted_name(PyObject* type) {
  Ref module(PyObject_GetAttrString(type, "__module__"));
  if (!module) return nullptr;
  Ref qualname(PyObject_GetAttrString(type, "__qualname__"));
  if (!qualname) return nullptr;
  return PyUnicode_FromFormat("%S.%S", module.get(), qualname.get());
}

// ---- attributes shared by both kinds ----

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(name_of(member_of(self))); }

PyObject* get_qualname(PyObject* self, void*) {
  Ref owner_qualname(PyObject_GetAttrString(member_of(self)->owner, "__qualname__"));
  if (!owner_qualname) return nullptr;
  return PyUnicode_FromFormat("%S.%s", owner_qualname.get(), name_of(member_of(self)));
}

PyObject* get_objclass(PyObject* self, void*) {
  PyObject* owner = member_of(self)->owner;
  Py_INCREF(owner);
  return owner;
}

PyObject* get_doc(PyObject* self, void*) {
  const MemberObject* member = member_of(self);
  if (member->getset != nullptr) return str_or_none(member->getset->doc);
  const char* doc = nullptr;
  split_signature(member->method->ml_name, member->method->ml_doc, doc);
  return str_or_none(doc);
}

PyObject* get_text_signature(PyObject* self, void*) {
  const MemberObject* member = member_of(self);
  const char* doc = nullptr;
  const std::string_view signature =
      split_signature(member->method->ml_name, member->method->ml_doc, doc);
  if (signature.empty()) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(signature.data(), static_cast<Py_ssize_t>(signature.size()));
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name(dotted_name(reinterpret_cast<PyObject*>(type)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name.get());
  return nullptr;
}

void member_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(member_of(self)->owner);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---- methods ----

PyObject* method_repr(PyObject* self) {
  Ref owner(dotted_name(member_of(self)->owner));
  if (!owner) return nullptr;
  return PyUnicode_FromFormat("<method '%s' of '%U' objects>", name_of(member_of(self)),
                              owner.get());
}

// Through an instance (or any object, by __get__): the method bound to it.
PyObject* method_get(PyObject* self, PyObject* object, PyObject*) {
  if (object == nullptr) {
    Py_INCREF(self);
    return self;
  }
  return PyCFunction_NewEx(member_of(self)->method, object, nullptr);
}

// Through the class: the first argument is the receiver.
PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t n = PyTuple_Size(args);
  if (n < 0) return nullptr;
  if (n == 0) {
    Ref qualname(get_qualname(self, nullptr));
    if (qualname) {
      PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", qualname.get());
    }
    return nullptr;
  }
  Ref bound(PyCFunction_NewEx(member_of(self)->method, PyTuple_GetItem(args, 0), nullptr));
  if (!bound) return nullptr;
  Ref rest(PyTuple_GetSlice(args, 1, n));
  if (!rest) return nullptr;
  return PyObject_Call(bound.get(), rest.get(), kwargs);
}

PyGetSetDef method_attributes[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(member_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_call, reinterpret_cast<void*>(method_call)},
    {Py_tp_getset, method_attributes},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "quelt_wake_word.method_descriptor",
    static_cast<int>(sizeof(MemberObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    method_slots,
};

// ---- properties ----

PyObject* property_repr(PyObject* self) {
  Ref owner(dotted_name(member_of(self)->owner));
  if (!owner) return nullptr;
  return PyUnicode_FromFormat("<attribute '%s' of '%U' objects>", name_of(member_of(self)),
                              owner.get());
}

PyObject* property_get(PyObject* self, PyObject* object, PyObject*) {
  if (object == nullptr) {
    Py_INCREF(self);
    return self;
  }
  const PyGetSetDef* getset = member_of(self)->getset;
  return getset->get(object, getset->closure);
}

// `value` is null for a deletion, which the setter answers.
int property_set(PyObject* self, PyObject* object, PyObject* value) {
  const PyGetSetDef* getset = member_of(self)->getset;
  if (getset->set == nullptr) {
    PyErr_Format(PyExc_AttributeError, "attribute '%s' is not writable", getset->name);
    return -1;
  }
  return getset->set(object, value, getset->closure);
}

PyGetSetDef property_attributes[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot property_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(member_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(property_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(property_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(property_set)},
    {Py_tp_getset, property_attributes},
    {0, nullptr},
};

PyType_Spec property_spec = {
    "quelt_wake_word.getset_descriptor",
    static_cast<int>(sizeof(MemberObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    property_slots,
};

// ---- building ----

PyTypeObject* descriptor_type(PyType_Spec& spec, PyObject*& cache) {
  if (cache == nullptr) cache = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(cache);
}

bool add_member(PyTypeObject* owner, PyTypeObject* kind, PyMethodDef* method, PyGetSetDef* getset) {
  Ref descriptor(PyType_GenericAlloc(kind, 0));
  if (!descriptor) return false;
  MemberObject* member = member_of(descriptor.get());
  Py_INCREF(owner);
  member->owner = reinterpret_cast<PyObject*>(owner);
  member->method = method;
  member->getset = getset;
  return PyObject_SetAttrString(reinterpret_cast<PyObject*>(owner), name_of(member),
                                descriptor.get()) == 0;
}

PyObject* g_method_type = nullptr;
PyObject* g_property_type = nullptr;

}  // namespace

bool add_receiver_checked_members(PyTypeObject* type, PyMethodDef* methods, PyGetSetDef* getset) {
  PyTypeObject* method_type = descriptor_type(method_spec, g_method_type);
  PyTypeObject* property_type = descriptor_type(property_spec, g_property_type);
  if (method_type == nullptr || property_type == nullptr) return false;
  for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
    if (!add_member(type, method_type, m, nullptr)) return false;
  }
  for (PyGetSetDef* g = getset; g->name != nullptr; ++g) {
    if (!add_member(type, property_type, nullptr, g)) return false;
  }
  return true;
}

}  // namespace quelt::python
