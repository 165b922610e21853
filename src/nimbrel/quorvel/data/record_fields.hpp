// Reading a record class: its field descriptors and their resolved annotations, and the check that its fields
// leave the content contract's methods alone; shared by record content, content core and the checks of parsed
// values.
#pragma once

#include "content_glue.hpp"
#include "runtime.hpp"

namespace quorvel::record_fields {

inline rt::Name kType("type");
inline rt::Name kGetSubfieldDescriptors("get_subfield_descriptors");
inline rt::Name kDunderDataclassFields("__dataclass_fields__");

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

// --- fields that hide a method of the content contract ----------------------------

// A field's value is an attribute of its class or of each instance, so a field
// named like a method of the contract hides that method from the calls the
// library makes; the failure would surface far away, or the data be wrong.

// The contract's method names: the public callables of BaseConfigurableData.
inline PyObject* contract_names = nullptr;  // frozenset
inline PyObject* implementation_error = nullptr;
// Classes found clear, each with the `__dataclass_fields__` it was found clear
// with: a class that is decorated again gets a new one and is checked anew.
inline rt::ClassCache clear_classes;

inline Ref public_callables(PyObject* cls) {
  Ref names = Ref::steal(PyObject_Dir(cls));
  Ref found = names ? Ref::steal(PyFrozenSet_New(nullptr)) : nullptr;
  if (!found) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    if (!PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0 || PyUnicode_READ_CHAR(name, 0) == '_') continue;
    Ref member = Ref::steal(PyObject_GetAttr(cls, name));
    if (!member || (PyCallable_Check(member) && PySet_Add(found, name) < 0)) return nullptr;
  }
  return found;
}

// For the modules that check declarations; needs the module's BaseConfigurableData binding.
inline bool init_contract_check(PyObject* module) {
  Ref content = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  Py_XSETREF(contract_names, content ? public_callables(content).release() : nullptr);
  Py_XSETREF(implementation_error,
             rt::import_from("nimbrel.quorvel.core.exceptions", "QuorvelImplementationError").release());
  return contract_names && implementation_error && clear_classes.init();
}

// The first field of `cls` named like a contract method, or None; None too
// for a class that is no dataclass.
inline Ref hiding_field(PyObject* cls) {
  PyObject* fields = nullptr;
  if (rt::optional_attr(cls, kDunderDataclassFields, &fields) < 0) return nullptr;
  Ref owned = Ref::steal(fields);
  if (fields == nullptr || !PyDict_Check(fields)) return Ref::borrow(Py_None);
  if (Ref clear = clear_classes.find(cls); clear.get() == fields) return Ref::borrow(Py_None);
  // The names are read from a snapshot: comparing a name may run its own code.
  Ref names = Ref::steal(PyDict_Keys(fields));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    int hides = PySet_Contains(contract_names, name);
    if (hides != 0) return hides < 0 ? nullptr : Ref::borrow(name);
  }
  // Classes that cannot be weakly referenced are simply checked each time.
  if (!clear_classes.store(cls, fields)) PyErr_Clear();
  return Ref::borrow(Py_None);
}

inline Ref hiding_message(PyObject* cls, PyObject* field) {
  Ref shown = rt::call_global(kDisplayClassName, cls);
  if (!shown) return nullptr;
  return Ref::steal(PyUnicode_FromFormat("Field %U.%S hides the method %S that the library calls on every "
                                         "configuration class; rename the field.",
                                         shown.get(), field, field));
}

// Raises QuorvelImplementationError when a field of `cls` is named like a
// contract method. Run where a record class is first used; what it costs
// afterwards is one cache lookup.
inline bool check_field_names(PyObject* cls) {
  Ref field = hiding_field(cls);
  if (!field) return false;
  if (field.get() == Py_None) return true;
  Ref message = hiding_message(cls, field);
  if (message) rt::raise(implementation_error, message);
  return false;
}

// After a call into `cls` failed: when a field of `cls` hides a contract
// method, that is the error to report, caused by the failure; otherwise the
// failure stays as it was. An implementation error already says what is
// wrong (the check of `cls` itself raises one). Returns nullptr.
inline std::nullptr_t explain_failure(PyObject* cls) {
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  if (!caught || PyObject_TypeCheck(caught.get(), reinterpret_cast<PyTypeObject*>(implementation_error))) {
    PyErr_SetRaisedException(caught.release());
    return nullptr;
  }
  Ref field = hiding_field(cls);
  Ref message = field && field.get() != Py_None ? hiding_message(cls, field) : nullptr;
  // A check that fails itself says nothing about the failure it was to explain.
  if (!message) PyErr_Clear();
  PyErr_SetRaisedException(caught.release());
  if (message) rt::raise_from(implementation_error, message);
  return nullptr;
}

}  // namespace quorvel::record_fields
