// Reading a record class: its field descriptors and their resolved annotations, shared by record content and
// the checks of parsed values.
#pragma once

#include "runtime.hpp"

namespace quorvel::record_fields {

inline rt::Name kType("type");
inline rt::Name kGetSubfieldDescriptors("get_subfield_descriptors");

inline rt::Global kGetTypeHints("get_type_hints");

// get_type_hints(cls, include_extras=)
inline rt::Keywords include_extras_keywords({"include_extras"});

// BaseConfigurableData's own get_subfield_descriptors, as stored in its namespace.
inline PyObject* stock_descriptor_method = nullptr;

// Needs the module's BaseConfigurableData binding.
inline bool init(PyObject* module) {
  Ref content = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  Ref content_namespace = content ? Ref::steal(PyObject_GetAttrString(content, "__dict__")) : nullptr;
  Py_XSETREF(stock_descriptor_method,
             content_namespace ? PyObject_GetItem(content_namespace, kGetSubfieldDescriptors) : nullptr);
  return stock_descriptor_method != nullptr;
}

// get_type_hints(cls, include_extras=False), or {} when the annotations do
// not resolve (the raw annotation of each field is used then); `resolved`
// tells which. A forward reference that fails now may resolve later, so
// callers keep only what resolved.
inline Ref type_hints(PyObject* cls, bool& resolved) {
  resolved = true;
  Ref get_type_hints = kGetTypeHints.get();
  if (!get_type_hints) return nullptr;
  PyObject* args[] = {cls, Py_False};
  Ref hints = Ref::steal(PyObject_Vectorcall(get_type_hints, args, 1, include_extras_keywords));
  if (hints) return hints;
  bool unresolved = PyErr_ExceptionMatches(PyExc_NameError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
                    PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_ImportError);
  if (!unresolved) return nullptr;
  PyErr_Clear();
  resolved = false;
  return Ref::steal(PyDict_New());
}

// hints.get(f.name, f.type)
inline Ref field_annotation(PyObject* hints, PyObject* descriptor, PyObject* name) {
  PyObject* hint = nullptr;
  if (PyDict_Check(hints) && PyDict_GetItemRef(hints, name, &hint) < 0) return nullptr;
  return hint ? Ref::steal(hint) : Ref::steal(PyObject_GetAttr(descriptor, kType));
}

// tuple(cls.get_subfield_descriptors())
inline Ref descriptors_of(PyObject* cls) {
  Ref descriptors = Ref::steal(PyObject_CallMethodNoArgs(cls, kGetSubfieldDescriptors));
  return descriptors ? Ref::steal(PySequence_Tuple(descriptors)) : nullptr;
}

// True when the class `cls` reads its descriptors through the stock method,
// so that what was read from them may be kept as long as its
// `__dataclass_fields__` stays the same.
inline bool stock_descriptors(PyObject* cls) {
  return rt::inherits_own(cls, kGetSubfieldDescriptors, stock_descriptor_method);
}

}  // namespace quorvel::record_fields
