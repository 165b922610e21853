// Steps the content kinds share when they describe themselves as UI fields.
#pragma once

#include "runtime.hpp"

namespace quorvel::content_fields {

// A new dict copied from the caller's metadata when it is truthy, else a new
// empty dict: the caller's dictionary is never modified.
inline Ref copy_metadata(PyObject* metadata) {
  int given = PyObject_IsTrue(metadata);
  if (given < 0) return nullptr;
  return Ref::steal(given ? PyDict_Copy(metadata) : PyDict_New());
}

// The field name: the given one when truthy, else the class's type key,
// which must be text.
inline Ref name_or_type_key(PyObject* cls, PyObject* name, const rt::Global& type_key_class) {
  int given = PyObject_IsTrue(name);
  if (given != 0) return given < 0 ? nullptr : Ref::borrow(name);
  Ref lookup = type_key_class.get();
  Ref key = lookup ? Ref::steal(PyObject_CallOneArg(lookup, cls)) : nullptr;
  if (key && !PyUnicode_CheckExact(key.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(key.get())->tp_name);
    return nullptr;
  }
  return key;
}

}  // namespace quorvel::content_fields
