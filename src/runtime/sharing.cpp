// Comparing two results the way a caller could tell them apart, for self-checks.
#include "sharing.hpp"

#include "errors.hpp"

namespace quorvel::rt {

int same_repr(PyObject* a, PyObject* b) {
  Ref first = Ref::steal(PyObject_Repr(a));
  Ref second = first ? Ref::steal(PyObject_Repr(b)) : nullptr;
  return second ? PyObject_RichCompareBool(first, second, Py_EQ) : -1;
}

namespace {

int same_list_sharing(PyObject* original, PyObject* first, PyObject* second) {
  Py_ssize_t count = PyList_GET_SIZE(original);
  if (PyList_GET_SIZE(first) != count || PyList_GET_SIZE(second) != count) return 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    int same = same_sharing(PyList_GET_ITEM(original, i), PyList_GET_ITEM(first, i), PyList_GET_ITEM(second, i));
    if (same <= 0) return same;
  }
  return 1;
}

int same_dict_sharing(PyObject* original, PyObject* first, PyObject* second) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(original, &position, &key, &value)) {
    PyObject* first_value = PyDict_GetItemWithError(first, key);
    PyObject* second_value = first_value ? PyDict_GetItemWithError(second, key) : nullptr;
    if (second_value == nullptr) return PyErr_Occurred() ? -1 : 0;
    int same = same_sharing(value, first_value, second_value);
    if (same <= 0) return same;
  }
  return 1;
}

}  // namespace

int same_sharing(PyObject* original, PyObject* first, PyObject* second) {
  if ((first == original) != (second == original)) return 0;
  if (first == original) return 1;
  RecursionGuard guard(" while comparing results");
  if (!guard) return -1;
  if (PyList_Check(original) && PyList_Check(first) && PyList_Check(second)) {
    return same_list_sharing(original, first, second);
  }
  if (PyDict_Check(original) && PyDict_Check(first) && PyDict_Check(second)) {
    return same_dict_sharing(original, first, second);
  }
  return Py_TYPE(first) == Py_TYPE(second);
}

}  // namespace quorvel::rt
