// The field builder: a name, an annotation and field metadata become a UI field model.
#include "content_glue.hpp"
#include "enum_members.hpp"
#include "module_api.hpp"
#include "record_fields.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kName("name");
rt::Name kInput("input");
rt::Name kOptions("options");
rt::Name kDisplayName("display_name");
rt::Name kBuildFieldForType("build_field_for_type");
rt::Name kCapitalize("capitalize");

rt::Global kValidationError("ValidationError");
rt::Global kSchemaError("QuorvelSchemaError");
rt::Global kBaseField("BaseField");
rt::Global kFieldString("FieldString");
rt::Global kFieldInteger("FieldInteger");
rt::Global kFieldFloat("FieldFloat");
rt::Global kFieldBool("FieldBool");
rt::Global kFieldJsonText("FieldJsonText");
rt::Global kFieldEnum("FieldEnum");

// The keywords content classes receive.
rt::Keywords content_field_keywords({"value", "name", "metadata", "type_specification"});

// --- instantiate_field -------------------------------------------------------

// `md.pop(key, fallback)`
Ref pop(PyObject* md, PyObject* key, PyObject* fallback) {
  PyObject* value = nullptr;
  if (PyDict_Pop(md, key, &value) < 0) return nullptr;
  return value ? Ref::steal(value) : Ref::borrow(fallback);
}

int is_field_class(PyObject* cls) {
  if (!PyType_Check(cls)) return 0;
  return is_subclass_of(cls, kBaseField);
}

// ", ".join(str(key) for key in md)
Ref listed_keys(PyObject* md) {
  Ref texts = Ref::steal(PyList_New(0));
  if (!texts) return nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(md, &position, &key, &value)) {
    Ref text = Ref::steal(PyObject_Str(key));
    if (!text || PyList_Append(texts, text) < 0) return nullptr;
  }
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  return separator ? Ref::steal(PyUnicode_Join(separator, texts)) : nullptr;
}

Ref class_name(PyObject* cls) {
  PyObject* name = nullptr;
  if (PyObject_GetOptionalAttr(cls, kDunderName, &name) < 0) return nullptr;
  return name ? Ref::steal(name) : Ref::steal(PyObject_Repr(cls));
}

// Rejected metadata (a keyword the field kind does not declare, a value that
// does not validate) is reported with the keys that were passed on.
PyObject* invalid_metadata(PyObject* cls, PyObject* md) {
  return rt::reraise(kQuorvelError, true, [&](PyObject* caught) -> Ref {
    Ref name = class_name(cls);
    Ref keys = name ? listed_keys(md) : nullptr;
    Ref detail = keys ? Ref::steal(PyObject_Str(caught)) : nullptr;
    if (!detail) return nullptr;
    return Ref::steal(
        PyUnicode_FromFormat("Invalid metadata for field %S: keys=[%U]. %U", name.get(), keys.get(), detail.get()));
  });
}

bool is_guarded_construction_error() {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) return true;
  PyObject* pending = PyErr_GetRaisedException();
  Ref validation_error = kValidationError.get();
  PyErr_Clear();
  bool matches = validation_error && PyErr_GivenExceptionMatches(pending, validation_error);
  PyErr_SetRaisedException(pending);
  return matches;
}

// `cls(**kwargs)`, its refusal reported with the metadata's keys.
PyObject* construct_general(PyObject* cls, PyObject* kwargs, PyObject* md) {
  PyObject* field = PyObject_VectorcallDict(cls, nullptr, 0, kwargs);
  if (field == nullptr && is_guarded_construction_error()) return invalid_metadata(cls, md);
  return field;
}

// `cls(name=name, display_name=display_name, **md)`: built directly by the
// field models where that is proven the same, else by the class itself.
PyObject* construct_field(PyObject* cls, PyObject* name, PyObject* display_name, PyObject* md) {
  const module_api::FieldModels* models = module_api::field_models_api();
  PyObject* field = models ? models->construct(cls, name, display_name, md) : nullptr;
  if (field || PyErr_Occurred()) return field;
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItem(kwargs, kName, name) < 0 || PyDict_SetItem(kwargs, kDisplayName, display_name) < 0 ||
      PyDict_Merge(kwargs, md, 1) < 0) {
    return nullptr;
  }
  return construct_general(cls, kwargs, md);
}

// `BaseField.capitalize(name)` through the module's BaseField binding.
Ref capitalized(PyObject* name) {
  Ref base_field = kBaseField.get();
  if (!base_field) return nullptr;
  const module_api::FieldModels* models = module_api::field_models_api();
  Ref own = models ? Ref::steal(models->capitalize(base_field, name)) : nullptr;
  if (own || PyErr_Occurred()) return own;
  return Ref::steal(PyObject_CallMethodOneArg(base_field, kCapitalize, name));
}

// instantiate_field on `md`, a copy of the caller's metadata that it changes.
PyObject* instantiate(PyObject* default_input, PyObject* name, PyObject* md) {
  Ref cls = pop(md, kInput, default_input);
  if (!cls) return nullptr;
  int valid = is_field_class(cls);
  if (valid <= 0) {
    return valid < 0 ? nullptr
                     : rt::raise_global(kQuorvelError, PyUnicode_FromString(
                                                       "BaseField has to be specified either as default_input "
                                                       "(fallback) or via the metadata as BaseField subclass."));
  }
  Ref md_name = pop(md, kName, nullptr);
  if (PyErr_Occurred()) return nullptr;
  if (md_name) {
    int same = PyObject_RichCompareBool(md_name, name, Py_EQ);
    if (same < 0) return nullptr;
    if (!same) {
      return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Ambiguous name provided. Provided name=%S as argument "
                                                              "and name = %S in the metadata.",
                                                              name, md_name.get()));
    }
  }
  PyObject* fallback_default = nullptr;
  if (PyDict_GetItemRef(md, kDefault, &fallback_default) < 0) return nullptr;
  Ref owned_default = Ref::steal(fallback_default);
  if ((fallback_default == nullptr || fallback_default == Py_None) && PyDict_DelItem(md, kDefault) < 0) PyErr_Clear();
  // The capitalised name is computed even when the metadata brings a label.
  Ref label = capitalized(name);
  Ref display_name = label ? pop(md, kDisplayName, label) : nullptr;
  if (!display_name) return nullptr;
  return construct_field(cls, name, display_name, md);
}

PyObject* instantiate_field(rt::Function*, PyObject* const* args) {
  Ref md = Ref::steal(PyDict_Copy(args[2]));
  return md ? instantiate(args[0], args[1], md) : nullptr;
}

// --- build_field -------------------------------------------------------------

PyObject* wrong_default(PyObject* name, const char* expected, PyObject* value) {
  return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Field %R expects %s default, got %R.", name, expected,
                                                          reinterpret_cast<PyObject*>(Py_TYPE(value))));
}

PyObject* refuse_union(PyObject* name, PyObject* value_type) {
  Ref args = rt::call_global(kGetArgs, value_type);
  Ref members = args ? Ref::steal(PyObject_GetIter(args)) : nullptr;
  if (!members) return nullptr;
  bool optional = false;
  while (Ref member = Ref::steal(PyIter_Next(members))) {
    optional = optional || member.get() == reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
  }
  if (PyErr_Occurred()) return nullptr;
  const char* format = optional ? "%R is annotated as Optional/None-union (%R). Use ConfigOptional[...] instead."
                                : "%R is annotated as a Union (%R). Use ConfigUnion[...] instead.";
  return rt::raise_global(kTypeResolutionError, PyUnicode_FromFormat(format, name, value_type));
}

PyObject* content_field(PyObject* origin, PyObject* name, PyObject* value_type, PyObject* value, PyObject* md) {
  if (PyDict_Pop(md, kDefault, nullptr) < 0) return nullptr;
  PyObject* call_args[] = {origin, value, name, md, value_type};
  PyObject* field = PyObject_VectorcallMethod(kBuildFieldForType, call_args, 1, content_field_keywords);
  // A class whose field hides the method is reported as such.
  return field != nullptr || !PyType_Check(origin) ? field : record_fields::explain_failure(origin);
}

PyObject* enum_field(PyObject* origin, PyObject* name, PyObject* value, PyObject* md) {
  if (value != Py_None) {
    Ref enum_base = kEnum.get();
    int member = enum_base ? PyObject_IsInstance(value, enum_base) : -1;
    if (member < 0) return nullptr;
    if (!member) {
      return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Field %R expects enum.Enum default, got %R.", name,
                                                              reinterpret_cast<PyObject*>(Py_TYPE(value))));
    }
  }
  Ref options = enum_members::options(origin);
  if (!options || PyDict_SetItem(md, kOptions, options) < 0) return nullptr;
  if (value != Py_None) {
    Ref member_value = Ref::steal(PyObject_GetAttr(value, enum_members::kValue));
    if (!member_value || PyDict_SetItem(md, kDefault, member_value) < 0) return nullptr;
  } else {
    Py_ssize_t count = PyObject_Length(origin);
    if (count < 0 || (count > 0 && PyDict_Pop(md, kDefault, nullptr) < 0)) return nullptr;
  }
  Ref field_class = kFieldEnum.get();
  return field_class ? instantiate(field_class, name, md) : nullptr;
}

// The leaf kinds in their tie-break order: bool is an int, so it comes first.
struct PrimitiveKind {
  PyTypeObject* type;
  const char* text;
  const rt::Global& field;
};

const PrimitiveKind kPrimitiveKinds[] = {
    {&PyBool_Type, "bool", kFieldBool},      {&PyLong_Type, "int", kFieldInteger},
    {&PyFloat_Type, "float", kFieldFloat},   {&PyDict_Type, "dict", kFieldJsonText},
    {&PyUnicode_Type, "str", kFieldString},
};

PyObject* leaf_field(PyObject* origin, PyObject* name, PyObject* value, PyObject* md) {
  for (const PrimitiveKind& kind : kPrimitiveKinds) {
    auto* type = reinterpret_cast<PyObject*>(kind.type);
    int matches = PyObject_IsSubclass(origin, type);
    if (matches < 0) return nullptr;
    if (!matches) continue;
    if (value != Py_None) {
      int fits = PyObject_IsInstance(value, type);
      if (fits < 0) return nullptr;
      if (!fits) return wrong_default(name, kind.text, value);
    }
    Ref field_class = kind.field.get();
    return field_class ? instantiate(field_class, name, md) : nullptr;
  }
  return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Unsupported field type %R for field %R.", origin, name));
}

PyObject* typed_field(PyObject* name, PyObject* value_type, PyObject* value, PyObject* md) {
  Ref origin = rt::typing_origin(kGetOrigin, value_type);
  if (!origin) return nullptr;
  int has_origin = PyObject_IsTrue(origin);
  if (has_origin < 0) return nullptr;
  if (!has_origin) origin = Ref::borrow(value_type);
  int union_origin = is_union(origin, {&kUnion, &kUnionType});
  if (union_origin != 0) return union_origin < 0 ? nullptr : refuse_union(name, value_type);
  if (!PyType_Check(origin.get())) {
    return rt::raise_global(kSchemaError, PyUnicode_FromFormat("Unsupported field type %R for field %R. If this is Annotated "
                                                           "or a custom typing construct, strip it before calling "
                                                           "_build_field.",
                                                           origin.get(), name));
  }
  int content = is_subclass_of(origin, kBaseConfigurableData);
  if (content != 0) return content < 0 ? nullptr : content_field(origin, name, value_type, value, md);
  // Primitive and enumeration fields drop a differing metadata name silently.
  if (PyDict_Pop(md, kName, nullptr) < 0) return nullptr;
  int enumeration = is_subclass_of(origin, kEnum);
  if (enumeration != 0) return enumeration < 0 ? nullptr : enum_field(origin, name, value, md);
  return leaf_field(origin, name, value, md);
}

// build_field on `md`, a copy of the caller's metadata that it changes.
PyObject* build_from(PyObject* name, PyObject* annotation, PyObject* md) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(md, kDefault, &found) < 0) return nullptr;
  Ref value = found ? Ref::steal(found) : Ref::borrow(Py_None);
  PyObject* value_type = annotation == Py_None ? reinterpret_cast<PyObject*>(Py_TYPE(value.get())) : annotation;
  if (value_type == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) {
    return rt::raise_global(kQuorvelError,
                        PyUnicode_FromFormat("Field %R needs a type annotation because default is None.", name));
  }
  return typed_field(name, value_type, value, md);
}

PyObject* build_field(rt::Function*, PyObject* const* args) {
  rt::RecursionGuard guard(" while building fields");
  if (!guard) return nullptr;
  Ref md = Ref::steal(args[2] == Py_None ? PyDict_New() : PyDict_Copy(args[2]));
  return md ? build_from(args[0], args[1], md) : nullptr;
}

// --- direct calls from the content kinds -------------------------------------

// The two functions for a caller that made `md` for this call only, so it
// serves as the copy.
PyObject* build_handed_over(PyObject* name, PyObject* value_type, PyObject* md) {
  rt::RecursionGuard guard(" while building fields");
  return guard ? build_from(name, value_type, md) : nullptr;
}

module_api::FieldBuilder api = {nullptr, nullptr, build_handed_over, instantiate};

// --- declarations ------------------------------------------------------------

using rt::Default;
using rt::Kind;

constexpr rt::Param kBuildFieldParams[] = {
    {"name", "str"},
    {"value_type", "Type[BaseConfigurableData] | PrimitiveClass | AliasContainerType | UnionType | None",
     Kind::kPositionalOrKeyword, Default::none()},
    {"metadata", "dict[str, Any] | None", Kind::kPositionalOrKeyword, Default::none()}};
constexpr rt::Param kInstantiateParams[] = {
    {"default_input", "Type[B] | None"}, {"name", "str"}, {"metadata", "dict[str, Any]"}};

const rt::FunctionSpec kBuildField = {"build_field",
                                      "Fallback: build a field for a particular value.\n\n"
                                      "Args:\n"
                                      "    value_type: Optional wrapper type for configurable data.\n"
                                      "    name: Name of the field.\n"
                                      "    metadata: Field metadata, including display name and description.\n\n"
                                      "Returns:\n"
                                      "    BaseField: The suitable UI representation.",
                                      build_field, kBuildFieldParams, "BaseField"};
const rt::FunctionSpec kInstantiateField = {"instantiate_field", "Used to instantiate UI fields.", instantiate_field,
                                            kInstantiateParams, "B | BaseField"};

bool bind_imports(PyObject* module) {
  return rt::bind_imports(module, {
      {"enum", "Enum"},
      {"types", "UnionType"},
      {"typing", "Any"},
      {"typing", "TypeVar"},
      {"typing", "Union"},
      {"typing", "get_origin"},
      {"typing", "get_args"},
      {"typing", "cast"},
      {"typing", "Type"},
      {"pydantic", "ValidationError"},
      {"nimbrel.quorvel.data.base", "PrimitiveClass"},
      {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.data.content_core", "AliasContainerType"},
      {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelSchemaError"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.fields.field_models", "FieldString"},
      {"nimbrel.quorvel.fields.field_models", "FieldInteger"},
      {"nimbrel.quorvel.fields.field_models", "FieldFloat"},
      {"nimbrel.quorvel.fields.field_models", "FieldBool"},
      {"nimbrel.quorvel.fields.field_models", "FieldJsonText"},
      {"nimbrel.quorvel.fields.field_models", "FieldEnum"},
  });
}

bool export_api(PyObject* module) {
  api.build_field = PyObject_GetAttrString(module, "build_field");
  api.instantiate_field = PyObject_GetAttrString(module, "instantiate_field");
  return api.build_field && api.instantiate_field &&
         module_api::export_api(module, module_api::kFieldBuilderCapsule, api);
}

bool exec_module(PyObject* module) {
  if (!bind_imports(module) || !record_fields::init_contract_check(module)) return false;
  Ref forward = Ref::steal(PyUnicode_FromString("BaseConfigurableData"));
  Ref base_field = Ref::steal(PyObject_GetAttrString(module, "BaseField"));
  return forward && base_field &&
         rt::add_object(module, "C", rt::make_type_var(module, "C", forward)) &&
         rt::add_function(module, kBuildField) &&
         rt::add_object(module, "B", rt::make_type_var(module, "B", base_field)) &&
         rt::add_function(module, kInstantiateField) && export_api(module);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(serialize, "The field builder: names, annotations and metadata become UI field models.",
               quorvel::exec_module)
