// The private CPython calls the runtime relies on, in one place: a Python version that changes them breaks only
// this file.
#pragma once

#include "ref.hpp"

namespace quorvel::rt {

// The attribute `name` along the MRO of `type`, as the type's own lookup finds it (no descriptor binding, no
// metaclass), or nullptr, without an error, when no class of the MRO defines it.
inline Ref mro_lookup(PyTypeObject* type, PyObject* name) { return Ref::steal(_PyType_LookupRef(type, name)); }

// Whether the attribute `name` along the MRO of `type` is `expected` itself: the proof that what a class
// would call under that name is still the object we know (our own callable, a stock hook).
inline bool mro_finds(PyTypeObject* type, PyObject* name, PyObject* expected) {
  return expected != nullptr && mro_lookup(type, name).get() == expected;
}

// The slot holding `obj`'s instance attribute dict, as generic attribute lookup reads it: nullptr when the
// object's class gives it none (or when it could not be had), else a slot holding nullptr while the object has
// no attributes of its own. Attributes the interpreter keeps inline get their dict made on the way, once.
inline PyObject** instance_dict_slot(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

// A new dict with room for `count` items.
inline Ref presized_dict(Py_ssize_t count) { return Ref::steal(_PyDict_NewPresized(count)); }

}  // namespace quorvel::rt
