// Free JSON objects: a dictionary content kind shown as a JSON text field.
#include "content_glue.hpp"
#include "content_fields.hpp"
#include "module_api.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Global kFieldJsonText("FieldJsonText");
rt::Global kValidationError("QuorvelValidationError");

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* value = args[1];
  PyObject* metadata = args[4];
  Ref md = content_fields::copy_metadata(metadata);
  if (!md || !content_fields::refuse_given_default(md)) return nullptr;
  Ref name = content_fields::name_or_type_key(cls, args[3], content_fields::KeyCheck::kText);
  if (!name) return nullptr;
  if (value != Py_None) {
    Ref payload = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
    if (!payload || PyDict_SetItem(md, kDefault, payload) < 0) return nullptr;
  }
  return content_fields::instantiate(kFieldJsonText, name, md);
}

// dict(self); nothing nested, so the conversion it is part of does not matter.
PyObject* payload_defaults(PyObject* self, module_api::DefaultsRun*) {
  return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), self);
}

PyObject* build_defaults(rt::Function*, PyObject* const* args) { return payload_defaults(args[0], nullptr); }

PyObject* expected_dict(PyObject* cls, PyObject* data) { return raise_expected(kValidationError, cls, "dict", data); }

PyObject* from_defaults(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* data = args[1];
  int own = PyObject_IsInstance(data, cls);
  if (own != 0) return own < 0 ? nullptr : Py_NewRef(data);
  if (!PyDict_Check(data)) return expected_dict(cls, data);
  return PyObject_CallOneArg(cls, data);
}

constexpr auto kBuildFieldForTypeParams =
    content_fields::field_for_type_params("Type[ConfigUntypedDict]", "ConfigUntypedDict | None");
constexpr rt::Param kSelf[] = {{"self"}};
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any");

const rt::FunctionSpec kBuildFieldForType = {"build_field_for_type", content_fields::kFieldForTypeDoc,
                                             build_field_for_type, kBuildFieldForTypeParams,
                                             "FieldJsonText | BaseField"};
const rt::FunctionSpec kBuildDefaults = {"build_defaults", "Create a nested default dictionary for representation in UI.",
                                         build_defaults, kSelf, "dict[str, Any]"};
const rt::FunctionSpec kFromDefaults = {"from_defaults", content_fields::kContentFromDefaultsDoc, from_defaults,
                                        kFromDefaultsParams, "Self"};

// class ConfigUntypedDict(dict[str, Any], BaseConfigurableData)
PyObject* config_untyped_dict(PyObject* module) {
  Ref any = Ref::steal(PyObject_GetAttrString(module, "Any"));
  Ref content = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  Ref key_value = any ? rt::tuple_of(reinterpret_cast<PyObject*>(&PyUnicode_Type), any.get()) : nullptr;
  Ref payload = key_value ? Ref::steal(Py_GenericAlias(reinterpret_cast<PyObject*>(&PyDict_Type), key_value)) : nullptr;
  Ref bases = payload && content ? rt::tuple_of(payload.get(), content.get()) : nullptr;
  if (!bases) return nullptr;
  return rt::ClassBuilder(module, "ConfigUntypedDict",
                          "Untyped JSON object payload.\n\n"
                          "This is a leaf type: it is not recursively parsed/validated beyond being a dict.")
      .class_method(kBuildFieldForType)
      .method(kBuildDefaults)
      .class_method(kFromDefaults)
      .create_from_bases(bases)
      .release();
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {
      {"typing", "Any"},
      {"typing", "Type"},
      {"typing_extensions", "Self"},
      {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
      {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
      {"nimbrel.quorvel.data.serialize", "instantiate_field"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelValidationError"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.fields.field_models", "FieldJsonText"},
      {"nimbrel.quorvel.typing.type_lookup", "type_key_class"},
      })) {
    return false;
  }
  if (!rt::add_object(module, "ConfigUntypedDict", config_untyped_dict(module))) return false;
  Ref cls = Ref::steal(PyObject_GetAttrString(module, "ConfigUntypedDict"));
  return cls && module_api::add_defaults_kind(cls, payload_defaults);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(json_content, "Free JSON objects as configurable content.", quorvel::exec_module)
