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

// A new dict with room for `count` items.
inline Ref presized_dict(Py_ssize_t count) { return Ref::steal(_PyDict_NewPresized(count)); }

}  // namespace quorvel::rt
