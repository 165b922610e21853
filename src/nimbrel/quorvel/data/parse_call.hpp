// Calling the parse dispatcher from the content kinds, with its answer for primitives taken directly.
#pragma once

#include "runtime.hpp"

namespace quorvel::parse_call {

// The dispatcher as the module bound it at import, to recognise the binding
// while it is still the dispatcher itself.
inline PyObject* dispatcher = nullptr;

inline bool remember_dispatcher(PyObject* module) {
  Py_XSETREF(dispatcher, PyObject_GetAttrString(module, "from_defaults"));
  return dispatcher != nullptr;
}

inline bool is_primitive_class(PyObject* alias) {
  return alias == reinterpret_cast<PyObject*>(&PyUnicode_Type) || alias == reinterpret_cast<PyObject*>(&PyLong_Type) ||
         alias == reinterpret_cast<PyObject*>(&PyFloat_Type) || alias == reinterpret_cast<PyObject*>(&PyBool_Type);
}

// from_defaults(data=data, alias=alias) through `parse`, the caller's binding
// as looked up now. While that is the dispatcher, a primitive class is
// answered as the dispatcher answers it (the data itself, unconverted),
// without the call; dict data still goes to the dispatcher for its error.
inline Ref from_defaults(PyObject* parse, PyObject* data, PyObject* alias, PyObject* data_alias_keywords) {
  if (parse == dispatcher && is_primitive_class(alias) && !PyDict_Check(data)) return Ref::borrow(data);
  PyObject* args[] = {data, alias};
  return Ref::steal(PyObject_Vectorcall(parse, args, 0, data_alias_keywords));
}

}  // namespace quorvel::parse_call
