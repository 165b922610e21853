// How messages show the data they are about, shared by the parse dispatcher, records and enumerations.
#pragma once

#include "runtime.hpp"

namespace quorvel::value_text {

// repr(value), as messages show data. A repr that cannot be built at all (an
// int beyond the digit limit of int-to-str conversion raises ValueError,
// wherever it sits in the data) gives way to naming.display_value(value),
// which is how messages show values they cannot show whole.
inline Ref repr(PyObject* value) {
  Ref text = Ref::steal(PyObject_Repr(value));
  if (text || !PyErr_ExceptionMatches(PyExc_ValueError)) return text;
  PyErr_Clear();
  Ref display = rt::import_from("nimbrel.quorvel.core.naming", "display_value");
  return display ? Ref::steal(PyObject_CallOneArg(display, value)) : nullptr;
}

}  // namespace quorvel::value_text
