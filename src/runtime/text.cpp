// Small text helpers with an ASCII fast path.
#include "text.hpp"

namespace quorvel::rt {

Ref lower(PyObject* text) {
  if (!PyUnicode_IS_ASCII(text)) return Ref::steal(PyObject_CallMethod(text, "lower", nullptr));
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const Py_UCS1* source = PyUnicode_1BYTE_DATA(text);
  Ref result = Ref::steal(PyUnicode_New(length, 127));
  if (!result) return nullptr;
  Py_UCS1* target = PyUnicode_1BYTE_DATA(result.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS1 c = source[i];
    target[i] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c + ('a' - 'A')) : c;
  }
  return result;
}

}  // namespace quorvel::rt
