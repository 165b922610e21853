// Finding an enumeration member from UI data, shared by enum content and the parse dispatcher.
#pragma once

#include "runtime.hpp"
#include "value_text.hpp"

namespace quorvel::enum_members {

inline rt::Name kValue("value");

// "Invalid <class>: <repr(data)>", raised inside the handler of the failed
// value lookup (which is the exception currently raised).
inline PyObject* invalid(PyObject* cls, PyObject* data, const rt::Global& error_class,
                         const rt::Global& display_class_name) {
  return rt::reraise(error_class, false, [&](PyObject*) -> Ref {
    Ref shown = rt::call_global(display_class_name, cls);
    Ref text = shown ? value_text::repr(data) : nullptr;
    return text ? Ref::steal(PyUnicode_FromFormat("Invalid %U: %U", shown.get(), text.get())) : nullptr;
  });
}

// The member of `cls` that `data` names: a member as is; a dictionary's
// "value" entry, else its "default" entry; then lookup by value and, for
// text, by name. Nothing matching raises `error_class` ("Invalid ...").
inline PyObject* find(PyObject* cls, PyObject* data, const rt::Global& error_class,
                      const rt::Global& display_class_name) {
  int member = PyObject_IsInstance(data, cls);
  if (member != 0) return member < 0 ? nullptr : Py_NewRef(data);
  Ref wanted = Ref::borrow(data);
  if (PyDict_Check(data)) {
    PyObject* entry = nullptr;
    if (PyDict_GetItemRef(data, kValue, &entry) < 0) return nullptr;
    if (entry == nullptr && PyDict_GetItemRef(data, kDefault, &entry) < 0) return nullptr;
    if (entry != nullptr) wanted = Ref::steal(entry);
  }
  PyObject* by_value = PyObject_CallOneArg(cls, wanted);
  if (by_value != nullptr) return by_value;
  if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
  if (PyUnicode_Check(wanted.get())) {
    PyObject* caught = PyErr_GetRaisedException();
    PyObject* by_name = PyObject_GetItem(cls, wanted);
    if (by_name != nullptr) {
      Py_DECREF(caught);
      return by_name;
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
      // Raised while the value lookup's error was being handled.
      PyObject* raised = PyErr_GetRaisedException();
      PyException_SetContext(raised, caught);
      PyErr_SetRaisedException(raised);
      return nullptr;
    }
    // The name lookup failed quietly: the value lookup's error is the one
    // the caller's error is raised inside.
    PyErr_SetRaisedException(caught);
  }
  return invalid(cls, wanted, error_class, display_class_name);
}

}  // namespace quorvel::enum_members
