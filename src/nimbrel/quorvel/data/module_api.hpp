// The C entry points modules hand each other through capsules, for calls that skip the Python-level machinery
// while the bindings they stand for are still the library's own.
#pragma once

#include "runtime.hpp"

namespace quorvel::module_api {

// What the dispatcher (`parse.from_defaults`) exports.
struct Parse {
  // The guarded delegation of a parse already made for `alias` with `data`: its result (stolen), or its
  // failure with a foreign exception wrapped as the dispatcher wraps it.
  PyObject* (*guard)(PyObject* parsed, PyObject* alias, PyObject* data);
};

// What record content exports.
struct Records {
  // ConfigData's own `from_defaults` classmethod, as its namespace holds it.
  PyObject* own_from_defaults;
  // `cls.from_defaults(data)` of a record class that inherits that classmethod.
  PyObject* (*parse)(PyObject* cls, PyObject* data);
};

// What the field models export.
struct FieldModels {
  // `cls(name=name, display_name=display_name, **metadata)` built without pydantic, for one of the library's own
  // field classes where the outcome is proven the same (name and display name may be nullptr: not given, and
  // the metadata then holds neither): the new field, or nullptr without an error when it is not proven (the
  // caller then constructs the class), or nullptr with an error.
  PyObject* (*construct)(PyObject* cls, PyObject* name, PyObject* display_name, PyObject* metadata);
  // `base_field.capitalize(text)` for text exactly a str while `base_field` is the library's own BaseField,
  // unchanged; nullptr without an error otherwise (the caller then looks the method up).
  PyObject* (*capitalize)(PyObject* base_field, PyObject* text);
};

// What the field builder (`serialize`) exports.
struct FieldBuilder {
  // Its own build_field and instantiate_field, as the module binds them.
  PyObject* build_field;
  PyObject* instantiate_field;
  // The same two for a name that is exactly a str and metadata that is an exact dict the caller made for this
  // one call: the functions change it in place of the copy they would make.
  PyObject* (*build_handed_over)(PyObject* name, PyObject* value_type, PyObject* metadata);
  PyObject* (*instantiate_handed_over)(PyObject* default_input, PyObject* name, PyObject* metadata);
};

inline constexpr const char* kFieldBuilderCapsule = "nimbrel.quorvel.data.serialize.__quorvel_api__";
inline constexpr const char* kFieldModelsCapsule = "nimbrel.quorvel.fields.field_models.__quorvel_api__";
inline constexpr const char* kParseCapsule = "nimbrel.quorvel.data.parse.__quorvel_api__";
inline constexpr const char* kRecordsCapsule = "nimbrel.quorvel.data.record_content.__quorvel_api__";

inline rt::Name kFromDefaultsAttribute("from_defaults");

// Exports `api` as the module attribute `__quorvel_api__`, kept out of the names the module binds.
template <typename Api>
bool export_api(PyObject* module, const char* capsule_name, const Api& api) {
  return rt::add_object(module, "__quorvel_api__", PyCapsule_New(const_cast<Api*>(&api), capsule_name, nullptr));
}

// The api behind `capsule_name`, imported on first use; nullptr (without an error) when it cannot be had,
// and the caller then takes the general path.
template <typename Api>
const Api* imported(const char* capsule_name, const Api*& cached) {
  if (cached == nullptr) {
    cached = static_cast<const Api*>(PyCapsule_Import(capsule_name, 0));
    if (cached == nullptr) PyErr_Clear();
  }
  return cached;
}

inline const Parse* parse_api() {
  static const Parse* cached = nullptr;
  return imported(kParseCapsule, cached);
}

inline const FieldBuilder* field_builder_api() {
  static const FieldBuilder* cached = nullptr;
  return imported(kFieldBuilderCapsule, cached);
}

inline const FieldModels* field_models_api() {
  static const FieldModels* cached = nullptr;
  return imported(kFieldModelsCapsule, cached);
}

inline const Records* records_api() {
  static const Records* cached = nullptr;
  return imported(kRecordsCapsule, cached);
}

// Whether `alias` is a record class whose `from_defaults` is record content's own: found through the class's
// MRO, with no metaclass of its own that could answer first.
inline bool is_own_record(const Records& records, PyObject* alias) {
  if (!PyType_Check(alias) || Py_TYPE(alias)->tp_getattro != PyType_Type.tp_getattro) return false;
  return rt::mro_finds(reinterpret_cast<PyTypeObject*>(alias), kFromDefaultsAttribute, records.own_from_defaults) &&
         !rt::mro_lookup(Py_TYPE(alias), kFromDefaultsAttribute);
}

}  // namespace quorvel::module_api
