// An enumeration's members as UI options and found again from UI data, shared by enum content, the field
// builder and the parse dispatcher.
#pragma once

#include "content_glue.hpp"
#include "runtime.hpp"
#include "value_text.hpp"

namespace quorvel::enum_members {

inline rt::Name kValue("value");
inline rt::Name kName("name");
inline rt::Name kText("text");
inline rt::Name kValueToMember("_value2member_map_");
inline rt::Name kDunderCall("__call__");
inline rt::Name kDunderNew("__new__");

// EnumType.__call__ and Enum.__new__, the stock value lookup of an enumeration.
inline PyObject* stock_call = nullptr;
inline PyObject* stock_new = nullptr;

inline bool init() {
  Ref enum_type = rt::import_from("enum", "EnumType");
  Ref enum_base = enum_type ? rt::import_from("enum", "Enum") : nullptr;
  auto* metaclass = reinterpret_cast<PyTypeObject*>(enum_type.get());
  Py_XSETREF(stock_call, enum_base ? rt::mro_lookup(metaclass, kDunderCall).release() : nullptr);
  // Enum.__new__ as every enumeration's namespace holds it: the function itself.
  Py_XSETREF(stock_new, stock_call ? PyObject_GetAttr(enum_base, kDunderNew) : nullptr);
  return stock_new != nullptr;
}

// [{"text": member.name, "value": member.value} for member in cls]
inline Ref options(PyObject* cls) {
  Ref members = Ref::steal(PyObject_GetIter(cls));
  Ref options = members ? Ref::steal(PyList_New(0)) : nullptr;
  if (!options) return nullptr;
  while (Ref member = Ref::steal(PyIter_Next(members))) {
    Ref text = Ref::steal(PyObject_GetAttr(member, kName));
    Ref value = text ? Ref::steal(PyObject_GetAttr(member, kValue)) : nullptr;
    Ref option = value ? Ref::steal(PyDict_New()) : nullptr;
    if (!option || PyDict_SetItem(option, kText, text) < 0 || PyDict_SetItem(option, kValue, value) < 0 ||
        PyList_Append(options, option) < 0) {
      return nullptr;
    }
  }
  return PyErr_Occurred() ? nullptr : options;
}

// Whether `cls(value)` is the stock lookup: its metaclass calls and reads
// attributes as EnumType does, and `__new__` is Enum's.
inline bool stock_lookup(PyObject* cls) {
  PyTypeObject* metaclass = Py_TYPE(cls);
  return PyType_Check(cls) && metaclass->tp_getattro == PyType_Type.tp_getattro &&
         rt::mro_finds(metaclass, kDunderCall, stock_call) &&
         rt::mro_finds(reinterpret_cast<PyTypeObject*>(cls), kDunderNew, stock_new);
}

// The member whose value is `wanted`, read from the class's value map as
// Enum.__new__ reads it first; nothing (nullptr, no error) when the lookup is
// not the stock one or the map has no such value. The call then answers,
// with its long search for unhashable values and its `_missing_` hook.
inline Ref mapped_member(PyObject* cls, PyObject* wanted) {
  if (!stock_lookup(cls)) return nullptr;
  PyObject* map = nullptr;
  int found = rt::optional_attr(cls, kValueToMember, &map);
  Ref owned = Ref::steal(map);
  PyObject* member = nullptr;
  if (found > 0 && PyDict_CheckExact(map) && PyDict_GetItemRef(map, wanted, &member) < 0) found = -1;
  if (found < 0) PyErr_Clear();
  return Ref::steal(member);
}

// QuorvelError("Invalid <class>: <repr(data)>"), raised inside the handler
// of the failed value lookup (which is the exception currently raised).
inline PyObject* invalid(PyObject* cls, PyObject* data) {
  return rt::reraise(kQuorvelError, false, [&](PyObject*) -> Ref {
    Ref shown = rt::call_global(kDisplayClassName, cls);
    Ref text = shown ? value_text::repr(data) : nullptr;
    return text ? Ref::steal(PyUnicode_FromFormat("Invalid %U: %U", shown.get(), text.get())) : nullptr;
  });
}

// The member of `cls` that `data` names: a member as is; a dictionary's
// "value" entry, else its "default" entry; then lookup by value and, for
// text, by name. Nothing matching raises QuorvelError ("Invalid ...").
inline PyObject* find(PyObject* cls, PyObject* data) {
  int member = PyObject_IsInstance(data, cls);
  if (member != 0) return member < 0 ? nullptr : Py_NewRef(data);
  Ref wanted = Ref::borrow(data);
  if (PyDict_Check(data)) {
    PyObject* entry = nullptr;
    if (PyDict_GetItemRef(data, kValue, &entry) < 0) return nullptr;
    if (entry == nullptr && PyDict_GetItemRef(data, kDefault, &entry) < 0) return nullptr;
    if (entry != nullptr) wanted = Ref::steal(entry);
  }
  if (Ref mapped = mapped_member(cls, wanted)) return mapped.release();
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
  return invalid(cls, wanted);
}

}  // namespace quorvel::enum_members
