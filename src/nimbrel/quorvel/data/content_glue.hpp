// The module-level names and the small checks that the data modules (the content kinds, the parse dispatcher,
// the field builder, the checks and the schema) would otherwise each declare or write again.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "runtime.hpp"

namespace quorvel {

// Read from the namespace of the module that includes this (each module compiles its own copy), so a module
// binds every name it uses, and a patched module attribute is seen as Python code would see it.
inline rt::Global kDisplayClassName("display_class_name");
inline rt::Global kDisplayValue("display_value");
inline rt::Global kTypeKeyClass("type_key_class");
inline rt::Global kInstantiateField("instantiate_field");
inline rt::Global kBaseConfigurableData("BaseConfigurableData");
inline rt::Global kGetOrigin("get_origin");
inline rt::Global kGetArgs("get_args");
inline rt::Global kEnum("Enum");
inline rt::Global kUnion("Union");
inline rt::Global kUnionType("UnionType");
inline rt::Global kQuorvelError("QuorvelError");
inline rt::Global kMetadataError("QuorvelMetadataError");
inline rt::Global kTypeResolutionError("QuorvelTypeResolutionError");

// isinstance(value, <module global>)
inline int is_instance_of(PyObject* value, const rt::Global& cls) {
  Ref target = cls.get();
  return target ? rt::is_instance(value, target) : -1;
}

// issubclass(cls, <module global>)
inline int is_subclass_of(PyObject* cls, const rt::Global& base) {
  Ref target = base.get();
  return target ? rt::is_subclass(cls, target) : -1;
}

// Raises `error_class` with "Expected <what> for D, got None." or "Expected
// <what> for D, got <type of data>.", D the display name of `cls`.
[[gnu::cold, gnu::noinline]] inline std::nullptr_t raise_expected(const rt::Global& error_class, PyObject* cls,
                                                                   const char* what, PyObject* data) {
  Ref shown = rt::call_global(kDisplayClassName, cls);
  if (!shown) return nullptr;
  PyObject* message = data == Py_None ? PyUnicode_FromFormat("Expected %s for %U, got None.", what, shown.get())
                                      : PyUnicode_FromFormat("Expected %s for %U, got %R.", what, shown.get(),
                                                             reinterpret_cast<PyObject*>(Py_TYPE(data)));
  rt::raise_global(error_class, message);
  return nullptr;
}

// Whether `origin` is one of the union forms `forms` (Union, UnionType),
// compared in the order given: each module keeps the order it always had, as
// a comparison may run an origin's own code. `op` is how each is compared:
// Py_EQ (equal to one of them) or Py_NE (not different from both).
inline int is_union(PyObject* origin, std::initializer_list<const rt::Global*> forms, int op = Py_EQ) {
  for (const rt::Global* form : forms) {
    Ref union_form = form->get();
    if (!union_form) return -1;
    int compared = op == Py_EQ ? rt::equal(origin, union_form) : PyObject_RichCompareBool(origin, union_form, op);
    if (compared < 0) return -1;
    if (compared == (op == Py_EQ)) return 1;
  }
  return 0;
}

}  // namespace quorvel
