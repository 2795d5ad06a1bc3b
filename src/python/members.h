// File: python/members.h
//
// Instance methods and properties that check their receiver themselves. The descriptors
// that the interpreter makes from a type's tp_methods and tp_getset refuse a receiver of
// another type before the member runs, with their own message ("descriptor 'reset' for
// 'quelt_wake_word.WakeWordEngine' objects doesn't apply to a 'int' object"); these hand
// every receiver to the member, whose own check answers ("'int' object cannot be
// converted to 'WakeWordEngine'"). Otherwise they behave as the interpreter's do: through
// an instance a method is a bound built-in method and a property calls its getter or
// setter; through the class either gives the descriptor itself, with the __name__,
// __qualname__, __doc__, __text_signature__ and __objclass__ that inspect and pydoc read.
#pragma once

#include "python/py.h"

namespace quelt::python {

// Puts a descriptor for each entry of `methods` and of `getset` (each table ends with a
// null name) into `type`'s dictionary. The tables must outlive the type; static ones do.
// False with an exception set if that fails.
bool add_receiver_checked_members(PyTypeObject* type, PyMethodDef* methods, PyGetSetDef* getset);

}  // namespace quelt::python
