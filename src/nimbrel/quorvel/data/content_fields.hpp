// Steps the content kinds share when they describe themselves as UI fields.
#pragma once

#include <array>
#include <cstddef>

#include "content_glue.hpp"
#include "module_api.hpp"
#include "runtime.hpp"

namespace quorvel::content_fields {

// The docstring every content kind's build_field_for_type carries.
inline constexpr const char* kFieldForTypeDoc =
    "Create a UI field representation for any sort of value, including the defaults.\n\n"
    "Args:\n"
    "    value: The input value if available.\n"
    "    type_specification: Optional wrapper type for configurable data.\n"
    "    name: Name of the field.\n"
    "    metadata: Field metadata, including display name and description.\n\n"
    "Returns:\n"
    "    BaseField: The suitable UI representation.";

// The docstring of from_defaults where no kind gives its own.
inline constexpr const char* kContentFromDefaultsDoc =
    "Create an instance from UI defaults data.\n\n"
    "Raises:\n"
    "    QuorvelError: If the input cannot be parsed for this type.";

// (cls, value=None, type_specification=None, name=None, metadata=None)
constexpr std::array<rt::Param, 5> field_for_type_params(const char* cls, const char* value) {
  using rt::Default;
  using rt::Kind;
  return {{{"cls", cls},
           {"value", value, Kind::kPositionalOrKeyword, Default::none()},
           {"type_specification", "WrapperAlias | None", Kind::kPositionalOrKeyword, Default::none()},
           {"name", "str | None", Kind::kPositionalOrKeyword, Default::none()},
           {"metadata", "dict[str, Any] | None", Kind::kPositionalOrKeyword, Default::none()}}};
}

// (cls, data, alias=None)
constexpr std::array<rt::Param, 3> from_defaults_params(const char* data, const char* cls = nullptr) {
  return {{{"cls", cls}, {"data", data}, {"alias", "WrapperAlias | None", rt::Kind::kPositionalOrKeyword, rt::Default::none()}}};
}

// A new dict copied from the caller's metadata when it is truthy, else a new
// empty dict: the caller's dictionary is never modified.
inline Ref copy_metadata(PyObject* metadata) {
  int given = PyObject_IsTrue(metadata);
  if (given < 0) return nullptr;
  return Ref::steal(given ? PyDict_Copy(metadata) : PyDict_New());
}

// The caller's metadata, once copied, may not bring the default: the kind
// sets it from the value. False, with QuorvelMetadataError, when it does.
inline bool refuse_given_default(PyObject* md) {
  int ambiguous = PyDict_Contains(md, kDefault);
  if (ambiguous == 0) return true;
  if (ambiguous > 0) rt::raise_global(kMetadataError, PyUnicode_FromString("Ambiguous default value."));
  return false;
}

// What a type key standing in for the field name must be. The kinds differ:
// enumerations and JSON objects want text, the generic kinds let None through
// to instantiate_field, which refuses it, and records pass any key on.
enum class KeyCheck { kText, kTextOrNone, kAny };

[[gnu::cold, gnu::noinline]] inline std::nullptr_t key_not_text(PyObject* key) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(key)->tp_name);
  return nullptr;
}

// The field name: the given one when truthy, else the class's type key.
inline Ref name_or_type_key(PyObject* cls, PyObject* name, KeyCheck check) {
  int given = PyObject_IsTrue(name);
  if (given != 0) return given < 0 ? nullptr : Ref::borrow(name);
  Ref key = rt::call_global(kTypeKeyClass, cls);
  if (!key || check == KeyCheck::kAny || PyUnicode_CheckExact(key.get())) return key;
  return check == KeyCheck::kTextOrNone && key.get() == Py_None ? key : key_not_text(key);
}

// The calls of the field builder's two functions. Each goes through the
// caller's binding as looked up now; while that is still serialize's own
// function and the arguments pass its checks as they are, its body is called
// directly and the metadata, a dict the caller made for this call only, is
// handed over in place of the copy the function would make.

inline bool hands_over(PyObject* name, PyObject* metadata) {
  return PyUnicode_CheckExact(name) && PyDict_CheckExact(metadata);
}

// instantiate_field(field_kind, name, metadata)
inline PyObject* instantiate(const rt::Global& field_kind, PyObject* name, PyObject* metadata) {
  Ref fn = kInstantiateField.get();
  Ref kind = fn ? field_kind.get() : nullptr;
  if (!kind) return nullptr;
  const module_api::FieldBuilder* builder = module_api::field_builder_api();
  if (builder && fn.get() == builder->instantiate_field && hands_over(name, metadata)) {
    return builder->instantiate_handed_over(kind, name, metadata);
  }
  PyObject* args[] = {kind.get(), name, metadata};
  return PyObject_Vectorcall(fn, args, 3, nullptr);
}

// build_field(...) made directly when `fn` is serialize's own; `taken` false
// (and nullptr) when the caller is to call `fn` with its own keywords instead.
inline Ref build_handed_over(PyObject* fn, PyObject* name, PyObject* value_type, PyObject* metadata, bool& taken) {
  const module_api::FieldBuilder* builder = module_api::field_builder_api();
  taken = builder && fn == builder->build_field && hands_over(name, metadata);
  return taken ? Ref::steal(builder->build_handed_over(name, value_type, metadata)) : nullptr;
}

}  // namespace quorvel::content_fields
