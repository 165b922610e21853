// Enumerations as content: members offered as selectable options.
#include "content_glue.hpp"
#include "content_fields.hpp"
#include "enum_members.hpp"
#include "module_api.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kOptions("options");
rt::Name kFromDefaults("from_defaults");
rt::Name kRegister("register");

rt::Global kBuildDefaults("build_defaults");
rt::Global kFieldEnum("FieldEnum");

// A member given as text (its value or its name) becomes the member.
Ref member_value(PyObject* cls, PyObject* value) {
  if (!PyUnicode_Check(value)) return Ref::borrow(value);
  return Ref::steal(PyObject_CallMethodOneArg(cls, kFromDefaults, value));
}

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  Ref value = member_value(cls, args[1]);
  Ref md = value ? content_fields::copy_metadata(args[4]) : nullptr;
  if (!md || !content_fields::refuse_given_default(md)) return nullptr;
  Ref name = content_fields::name_or_type_key(cls, args[3], content_fields::KeyCheck::kText);
  Ref options = name ? enum_members::options(cls) : nullptr;
  if (!options || PyDict_SetItem(md, kOptions, options) < 0) return nullptr;
  if (value.get() != Py_None) {
    Ref to_defaults = kBuildDefaults.get();
    Ref defaults = to_defaults ? Ref::steal(PyObject_CallOneArg(to_defaults, value)) : nullptr;
    if (!defaults || (defaults.get() != Py_None && PyDict_SetItem(md, kDefault, defaults) < 0)) return nullptr;
  }
  return content_fields::instantiate(kFieldEnum, name, md);
}

// self.value; nothing nested, so the conversion it is part of does not matter.
PyObject* member_defaults(PyObject* self, module_api::DefaultsRun*) { return PyObject_GetAttr(self, enum_members::kValue); }

PyObject* build_defaults(rt::Function*, PyObject* const* args) { return member_defaults(args[0], nullptr); }

PyObject* parse_enum(PyObject* cls, PyObject* data, PyObject*) {
  return enum_members::find(cls, data);
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) { return parse_enum(args[0], args[1], args[2]); }

// Other modules parse enumerations that keep this `from_defaults` directly;
// the classmethod is filled in once ConfigEnum exists.
module_api::Kind api = {nullptr, parse_enum};

constexpr auto kBuildFieldForTypeParams = content_fields::field_for_type_params("Type[Self]", "Self | str | None");
constexpr rt::Param kSelf[] = {{"self"}};
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any");

const rt::FunctionSpec kBuildFieldForType = {"build_field_for_type", content_fields::kFieldForTypeDoc,
                                             build_field_for_type, kBuildFieldForTypeParams,
                                             "FieldEnum | BaseField"};
// The value is returned whatever its type: enumerations with integer values
// are as valid as text ones (FieldEnum accepts both), so "str" is not checked.
const rt::FunctionSpec kBuildDefaultsSpec = {"build_defaults", "Create the default value.", build_defaults, kSelf, "str",
                                             false};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", content_fields::kContentFromDefaultsDoc, from_defaults,
                                            kFromDefaultsParams, "Self"};

// class ConfigEnum(Enum), then registered with BaseConfigurableData.
PyObject* config_enum(PyObject* module) {
  Ref enum_base = Ref::steal(PyObject_GetAttrString(module, "Enum"));
  Ref content = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  Ref bases = enum_base && content ? rt::tuple_of(enum_base.get()) : nullptr;
  if (!bases) return nullptr;
  Ref cls = rt::ClassBuilder(module, "ConfigEnum", "Enum content with selectable string values.")
                .class_method(kBuildFieldForType)
                .method(kBuildDefaultsSpec)
                .class_method(kFromDefaultsSpec)
                .create_from_bases(bases);
  Ref registered = cls ? Ref::steal(PyObject_CallMethodOneArg(content, kRegister, cls)) : nullptr;
  return registered ? cls.release() : nullptr;
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{"typing", "Any"},
                                 {"typing", "Type"},
                                 {"typing", "TypeVar"},
                                 {"typing", "cast"},
                                 {"typing_extensions", "Self"},
                                 {"enum", "Enum"},
                                 {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
                                 {"nimbrel.quorvel.data.content_core", "build_defaults"},
                                 {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
                                 {"nimbrel.quorvel.data.serialize", "instantiate_field"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
                                 {"nimbrel.quorvel.core.naming", "display_class_name"},
                                 {"nimbrel.quorvel.fields.field_models", "BaseField"},
                                 {"nimbrel.quorvel.fields.field_models", "FieldEnum"},
                                 {"nimbrel.quorvel.typing.type_lookup", "type_key_class"}})) {
    return false;
  }
  Ref forward = Ref::steal(PyUnicode_FromString("ConfigEnum"));
  if (!forward || !enum_members::init() || !rt::add_object(module, "E", rt::make_type_var(module, "E", forward))) {
    return false;
  }
  return module_api::add_kind_class(module, "ConfigEnum", Ref::steal(config_enum(module)), api, member_defaults,
                                    module_api::KindId::kEnum);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(enum_content, "Enumerations as configurable content.", quorvel::exec_module)
