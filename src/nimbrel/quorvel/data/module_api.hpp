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

// What each content kind exports: its own `from_defaults` classmethod, as the kind's namespace holds it, and
// the parse behind it, `cls.from_defaults(data, alias)` of a class that inherits that classmethod.
struct Kind {
  PyObject* own_from_defaults;
  PyObject* (*parse)(PyObject* cls, PyObject* data, PyObject* alias);
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

// The content kinds that export their parse, in the order of their capsules.
enum class KindId : unsigned char { kRecord, kList, kOptional, kUnion, kEnum };
inline constexpr int kKindCount = 5;

inline constexpr const char* kParseCapsule = "nimbrel.quorvel.data.parse.__quorvel_api__";
inline constexpr const char* kKindCapsules[kKindCount] = {
    "nimbrel.quorvel.data.record_content.__quorvel_api__", "nimbrel.quorvel.data.list_content.__quorvel_api__",
    "nimbrel.quorvel.data.optional_content.__quorvel_api__", "nimbrel.quorvel.data.union_content.__quorvel_api__",
    "nimbrel.quorvel.data.enum_content.__quorvel_api__"};

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

inline const Kind* kind_api(KindId kind) {
  static const Kind* cached[kKindCount] = {};
  auto index = static_cast<int>(kind);
  return imported(kKindCapsules[index], cached[index]);
}

// Exports a content kind's parse under its capsule name.
inline bool export_kind(PyObject* module, KindId kind, const Kind& api) {
  return export_api(module, kKindCapsules[static_cast<int>(kind)], api);
}

// Whether `alias` is a class whose `from_defaults` is the kind's own.
inline bool inherits_parse(const Kind& kind, PyObject* alias) {
  return rt::inherits_own(alias, kFromDefaultsAttribute, kind.own_from_defaults);
}

// `cls.__dict__[name]`: a method as the class's namespace holds it (a new reference, or nullptr with an error).
inline PyObject* namespace_entry(PyObject* cls, PyObject* name) {
  Ref own_namespace = Ref::steal(PyObject_GetAttrString(cls, "__dict__"));
  return own_namespace ? PyObject_GetItem(own_namespace, name) : nullptr;
}

// The kind's own `from_defaults`, read from the namespace of the kind's class once it exists.
inline bool remember_own_parse(Kind& kind, PyObject* cls) {
  Py_XSETREF(kind.own_from_defaults, cls ? namespace_entry(cls, kFromDefaultsAttribute) : nullptr);
  return kind.own_from_defaults != nullptr;
}


// --- UI defaults ---------------------------------------------------------------------------------------------

// One conversion into UI defaults as content core carries it through nested values (opaque to the kinds).
struct DefaultsRun;

// A content kind's own `build_defaults` for `self`, called directly within `run` (nullptr: a conversion of
// its own, as a call from Python starts).
using KindDefaults = PyObject* (*)(PyObject* self, DefaultsRun* run);

// What content core exports for UI defaults.
struct Defaults {
  // The module function `build_defaults`, as the module bound it.
  PyObject* own_function;
  // build_defaults(value), as that function computes it, within `run` (nullptr: a conversion of its own).
  PyObject* (*convert)(PyObject* value, DefaultsRun* run);
  // Has instances of classes that inherit the kind's own `build_defaults` method `own_method` converted
  // through `defaults` rather than through a method call.
  bool (*add_kind)(PyObject* own_method, KindDefaults defaults);
};

inline constexpr const char* kDefaultsCapsule = "nimbrel.quorvel.data.content_core.__quorvel_api__";

inline const Defaults* defaults_api() {
  static const Defaults* cached = nullptr;
  return imported(kDefaultsCapsule, cached);
}

inline rt::Name kBuildDefaultsAttribute("build_defaults");

// Registers a content kind's `build_defaults` (the method `cls` defines) with content core.
inline bool add_defaults_kind(PyObject* cls, KindDefaults defaults) {
  const Defaults* api = defaults_api();
  if (api == nullptr) {
    PyErr_SetString(PyExc_ImportError, "content_core exports no defaults api");
    return false;
  }
  rt::Ref own = PyType_Check(cls) ? rt::mro_lookup(reinterpret_cast<PyTypeObject*>(cls), kBuildDefaultsAttribute)
                                  : nullptr;
  if (!own) {
    PyErr_SetString(PyExc_TypeError, "a content kind must define build_defaults");
    return false;
  }
  return api->add_kind(own, defaults);
}

// The last step of a kind module's set-up: its class `cls` (nullptr passes its error on) becomes the module
// attribute `name` once its own `from_defaults` is remembered and its `build_defaults` registered, and the
// kind is exported.
inline bool add_kind_class(PyObject* module, const char* name, rt::Ref cls, Kind& api, KindDefaults defaults,
                           KindId id) {
  return remember_own_parse(api, cls) && add_defaults_kind(cls, defaults) && rt::add_object(module, name, cls.release()) &&
         export_kind(module, id, api);
}

// build_defaults(value) through a module's `build_defaults` binding, looked up when this is made: content
// core's conversion directly, within `run`, while the binding is still content core's own function, else a
// call of whatever it is bound to.
class InnerDefaults {
 public:
  InnerDefaults(const rt::Global& binding, DefaultsRun* run) : run_(run) {
    const Defaults* api = defaults_api();
    if (api != nullptr && binding.is(api->own_function)) {
      direct_ = api;
    } else {
      function_ = binding.get();
    }
  }
  // False (with NameError set) when the binding is gone.
  explicit operator bool() const { return direct_ != nullptr || function_; }

  rt::Ref operator()(PyObject* value) const {
    if (direct_ != nullptr) return rt::Ref::steal(direct_->convert(value, run_));
    return rt::Ref::steal(PyObject_CallOneArg(function_, value));
  }

 private:
  DefaultsRun* run_;
  const Defaults* direct_ = nullptr;
  rt::Ref function_;
};

}  // namespace quorvel::module_api
