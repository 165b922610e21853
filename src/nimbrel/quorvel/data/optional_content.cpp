// Optional content: a value that the user switches on or off.
#include <utility>

#include "content_glue.hpp"
#include "content_plans.hpp"
#include "generic_content.hpp"

namespace quorvel {
namespace {

using namespace generic_content;

rt::Global kTypeVar("TypeVar");
rt::Global kConfigOptional("ConfigOptional");
rt::Global kFieldOptional("FieldOptional");
rt::Global kValidationError("QuorvelValidationError");

// resolve_generic_arg(alias, default=None): any origin, index 0.
rt::Keywords default_keywords({"default"});

// `value.content` when value is a ConfigOptional, else None.
Ref current_content(PyObject* value) {
  int own = is_instance_of(value, kConfigOptional);
  if (own < 0) return nullptr;
  return own ? Ref::steal(PyObject_GetAttr(value, kContent)) : Ref::borrow(Py_None);
}

// The inner field's metadata: the caller's "content" entry, copied, with the
// current content as its default.
Ref inner_metadata(PyObject* cls, PyObject* metadata, PyObject* content) {
  Ref inner = child_metadata_copy(cls, metadata, kContent, [] {
    return raise_error(kMetadataError, PyUnicode_FromString("Ambiguous (inner) default value."));
  });
  if (!inner || (content != Py_None && PyDict_SetItem(inner, kDefault, content) < 0)) return nullptr;
  return default_display_name(inner) ? inner : nullptr;
}

// The content field, and whether there is content as the field's default.
Children content_children(PyObject* cls, PyObject* value, PyObject* metadata, PyObject* inner_type) {
  Ref content = current_content(value);
  Ref inner = content ? inner_metadata(cls, metadata, content) : nullptr;
  Ref fields = inner ? inner_fields(inner_type, inner) : nullptr;
  if (!fields) return {};
  return {std::move(fields), Ref::borrow(content.get() != Py_None ? Py_True : Py_False)};
}

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  return build_inner_field(args, kFieldOptional, [args](PyObject* metadata, PyObject* inner_type) {
    return content_children(args[0], args[1], metadata, inner_type);
  });
}

// {"default": False}, or {"default": True, "content": build_defaults(self.content)}, within `run`.
PyObject* optional_defaults(PyObject* self, module_api::DefaultsRun* run) {
  rt::RecursionGuard guard(" while building defaults");
  if (!guard) return nullptr;
  Ref content = Ref::steal(PyObject_GetAttr(self, kContent));
  Ref defaults = content ? Ref::steal(PyDict_New()) : nullptr;
  if (!defaults) return nullptr;
  bool enabled = content.get() != Py_None;
  if (PyDict_SetItem(defaults, kDefault, enabled ? Py_True : Py_False) < 0) return nullptr;
  if (!enabled) return defaults.release();
  // `content` is read again for the conversion, as the attribute may compute it.
  content = Ref::steal(PyObject_GetAttr(self, kContent));
  if (!content) return nullptr;
  module_api::InnerDefaults convert(kBuildDefaults, run);
  Ref inner = convert ? convert(content) : nullptr;
  if (!inner || PyDict_SetItem(defaults, kContent, inner) < 0) return nullptr;
  return defaults.release();
}

PyObject* build_defaults(rt::Function*, PyObject* const* args) { return optional_defaults(args[0], nullptr); }

// The type argument to parse the content with; a type variable means the
// class was never really parametrised.
Ref inner_alias(PyObject* cls, PyObject* alias) {
  Ref inner = resolve_generic_arg(alias, default_keywords, Py_None);
  if (!inner) return nullptr;
  if (inner.get() == Py_None) return raise_not_parametrised(cls);
  int unbound = is_instance_of(inner, kTypeVar);
  if (unbound <= 0) return unbound < 0 ? nullptr : inner;
  Ref shown = call_global(kDisplayClassName, cls);
  Ref shown_alias = shown ? call_global(kDisplayClassName, alias) : nullptr;
  if (!shown_alias) return nullptr;
  return raise_error(kTypeResolutionError, PyUnicode_FromFormat("%U must be parametrised (not with a TypeVar %U).",
                                                                  shown.get(), shown_alias.get()));
}

// Content types of parametrised optional classes.
content_plans::InnerPlans plans;

PyObject* parse_optional(PyObject* cls, PyObject* data, PyObject* given_alias) {
  rt::RecursionGuard guard(" while parsing");
  if (!guard) return nullptr;
  PyObject* alias = given_alias == Py_None ? cls : given_alias;
  auto plan = content_plans::inner_plan(plans, cls, alias, [&] { return inner_alias(cls, alias); });
  if (!plan) return nullptr;
  int mapping = PyDict_CheckExact(data) ? 1 : PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyDict_Type));
  if (mapping <= 0) return mapping < 0 ? nullptr : raise_wrong_data(cls, "dict", data);
  Ref flag = get_entry(data, kDefault);
  int enabled = flag ? PyObject_IsTrue(flag) : -1;
  Ref content = enabled >= 0 ? get_entry(data, kContent) : nullptr;
  if (!content) return nullptr;
  if (enabled && content.get() == Py_None) {
    return raise_about(kValidationError, cls, "%U is enabled but \"content\" is missing or None.");
  }
  if (!enabled && content.get() != Py_None) {
    return raise_about(kValidationError, cls, "%U is disabled but \"content\" is present.");
  }
  Ref value = Ref::borrow(Py_None);
  if (enabled) {
    Ref parse = kFromDefaults.get();
    value = parse ? parse_call::from_defaults_routed(parse, plan->route, content, plan->inner) : nullptr;
  }
  if (!value) return rt::locate(kQuorvelError, {kContent});
  return PyObject_CallOneArg(cls, value);
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) { return parse_optional(args[0], args[1], args[2]); }

// Other modules parse optional classes that keep this `from_defaults`
// directly; the classmethod is filled in once ConfigOptional exists.
module_api::Kind api = {nullptr, parse_optional};

// --- declarations ------------------------------------------------------------

constexpr auto kBuildFieldForTypeParams =
    content_fields::field_for_type_params("Type[ConfigOptional[T]]", "ConfigOptional[T] | None");
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any");

const rt::FunctionSpec kContainedTypeSpec = contained_type_spec(
    "Simple utility function that checks the contained type and returns it.\n\n"
    "        Given ConfigOptional[A] this returns A and checks before that A is of type ConfigType.\n"
    "        ");
const rt::FunctionSpec kBuildFieldForTypeSpec = {"build_field_for_type", content_fields::kFieldForTypeDoc, build_field_for_type,
                                                 kBuildFieldForTypeParams, "FieldOptional | BaseField"};
const rt::FunctionSpec kBuildDefaultsSpec = {"build_defaults", kNestedDefaultsDoc, build_defaults, kSelfParams,
                                             "dict[str, Any]"};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", kFromDefaultsDoc, from_defaults, kFromDefaultsParams,
                                            "ConfigOptional[T]"};

constexpr const char* kConfigOptionalDoc =
    "Class containing optional data. The argument needs to be of type BaseConfigurableData or a Primitive type.\n\n"
    "    Example allowed:\n"
    "        - ConfigOptional[int]\n"
    "        - ConfigOptional[ConfigUnion[int | CF]] where CF is of type ConfigData\n\n"
    "    Example disallowed:\n"
    "         - ConfigOptional[int | str]\n"
    "         - ConfigOptional[list[int]]\n"
    "         - ConfigOptional\n"
    "         - ConfigOptional[A] where A is neither of type BaseConfigurableData nor a PrimitiveType\n"
    "         - ConfigOptional (without parameters). This cannot be checked at annotation time, but at "
    "instantiation.\n"
    "    ";

// @dataclass class ConfigOptional(GenericWithArgs, Generic[T], BaseConfigurableData)
PyObject* config_optional(PyObject* module) {
  Ref bases = generic_bases(generic_of(module, "T"));
  if (!bases) return nullptr;
  Ref cls = rt::ClassBuilder(module, "ConfigOptional", kConfigOptionalDoc)
                .annotate("content", "T | None")
                .set("content", Py_NewRef(Py_None))
                .class_method(kContainedTypeSpec)
                .class_method(kBuildFieldForTypeSpec)
                .method(kBuildDefaultsSpec)
                .class_method(kFromDefaultsSpec)
                .class_method(kCheckedClassGetitem)
                .create_from_bases(bases);
  return as_dataclass(module, cls);
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {
      {"dataclasses", "dataclass"},
      {"typing", "TypeVar"},
      {"typing", "Generic"},
      {"typing", "get_origin"},
      {"typing", "Any"},
      {"typing", "Type"},
      {"nimbrel.quorvel.data.content_core", "ConfigValue"},
      {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
      {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
      {"nimbrel.quorvel.data.content_core", "ConfigType"},
      {"nimbrel.quorvel.data.content_core", "require_valid_config_type"},
      {"nimbrel.quorvel.data.content_core", "build_defaults"},
      {"nimbrel.quorvel.data.parse", "from_defaults"},
      {"nimbrel.quorvel.data.serialize", "build_field"},
      {"nimbrel.quorvel.data.serialize", "instantiate_field"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelParseError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelValidationError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.fields.field_models", "FieldOptional"},
      {"nimbrel.quorvel.typing.generic_params", "GenericWithArgs"},
      {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_arg"},
      {"nimbrel.quorvel.typing.type_lookup", "type_key_class"},
      })) {
    return false;
  }
  if (!init_keywords(module) || !add_type_var(module, "T") || !plans.init()) return false;
  return module_api::add_kind_class(module, "ConfigOptional", Ref::steal(config_optional(module)), api, optional_defaults,
                                    module_api::KindId::kOptional);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(optional_content, "Optional content: a configurable value that can be enabled or disabled.",
               quorvel::exec_module)
