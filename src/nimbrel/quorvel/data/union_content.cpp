// Union content: a value of one of several member types, selected in the form by type key.
#include "generic_content.hpp"

namespace quorvel {
namespace {

using namespace generic_content;

rt::Name kSelected("selected");
rt::Name kSelection("selection");
rt::Name kContainedTypes("_contained_types");

rt::Global kUnion("Union");
rt::Global kUnionType("UnionType");
rt::Global kGetArgs("get_args");
rt::Global kRequireValidConfigValue("require_valid_config_value");
rt::Global kResolveGenericArgs("resolve_generic_args");
rt::Global kFieldUnion("FieldUnion");
rt::Global kValidationError("QuorvelValidationError");

// Whether `origin` is Union or UnionType. `op` is how each is compared:
// Py_EQ (equal to one of them) or Py_NE (not different from both).
int is_union(PyObject* origin, int op) {
  for (const rt::Global* global : {&kUnion, &kUnionType}) {
    Ref union_form = global->get();
    int compared = union_form ? PyObject_RichCompareBool(origin, union_form, op) : -1;
    if (compared < 0) return -1;
    if (compared == (op == Py_EQ)) return 1;
  }
  return 0;
}

// The union's members, each required to be configurable.
bool require_members(PyObject* cls, PyObject* members) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
    if (!require_config_type(cls, PyTuple_GET_ITEM(members, i))) return false;
  }
  return true;
}

// [get_origin(t) or t for t in members], each a class.
Ref member_classes(PyObject* cls, PyObject* members) {
  Ref classes = Ref::steal(PyList_New(0));
  if (!classes) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
    PyObject* member = PyTuple_GET_ITEM(members, i);
    Ref member_class = origin_or_self(member);
    if (!member_class) return nullptr;
    if (!PyType_Check(member_class.get())) {
      return raise_about(kTypeResolutionError, cls, "%U members must be runtime types, got %R.", member);
    }
    if (PyList_Append(classes, member_class) < 0) return nullptr;
  }
  return classes;
}

PyObject* contained_types(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  Ref arg = contained_arg(cls, args[1]);
  if (!arg) return nullptr;
  int is_member_union = 0;
  if (arg.get() != Py_None) {
    Ref origin = rt::typing_origin(kGetOrigin, arg);
    is_member_union = origin ? is_union(origin, Py_EQ) : -1;
  }
  if (is_member_union <= 0) {
    return is_member_union < 0 ? nullptr
                               : raise_about(kTypeResolutionError, cls,
                                             "%U parameter must be Union of PrimitiveTypes or BaseConfigurableData.");
  }
  Ref params = call_global(kResolveGenericArgs, arg);
  int has_params = params ? PyObject_IsTrue(params) : -1;
  if (has_params <= 0) {
    return has_params < 0 ? nullptr
                          : raise_about(kTypeResolutionError, cls,
                                        "%U must be of Union | UnionType with at least one argument.");
  }
  Ref members = Ref::steal(PySequence_Tuple(params));
  if (!members || !require_members(cls, members)) return nullptr;
  return member_classes(cls, members).release();
}

// `self.content`, read anew wherever it is used: the attribute may compute it.
Ref content_of(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, kContent)); }

PyObject* selected(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  Ref content = content_of(self);
  if (!content) return nullptr;
  if (content.get() == Py_None) Py_RETURN_NONE;
  content = content_of(self);
  Ref valid = content ? call_global(kRequireValidConfigValue, content) : nullptr;
  if (!valid) {
    if (!content || rt::pending_is(kQuorvelError) <= 0) return nullptr;
    // The kind is named literally here, not by the display name of the class.
    return reraise_error(kValidationError, false, [&](PyObject* error) {
      Ref current = content_of(self);
      return current ? Ref::steal(PyUnicode_FromFormat("Invalid ConfigUnion content: %R: %S.",
                                                       reinterpret_cast<PyObject*>(Py_TYPE(current.get())), error))
                     : nullptr;
    });
  }
  content = content_of(self);
  return content ? call_global(kTypeKeyClass, reinterpret_cast<PyObject*>(Py_TYPE(content.get()))).release() : nullptr;
}

// The field of one member: named by its key, holding the content only when
// that member is the selected one.
Ref member_field(PyObject* cls, PyObject* member, PyObject* selection, PyObject* content, PyObject* metadata) {
  Ref key = type_key(member);
  int chosen = key ? PyObject_RichCompareBool(selection, key, Py_EQ) : -1;
  if (chosen > 0) chosen = rt::is_instance(content, member);
  Ref raw = chosen >= 0 ? pop_child_metadata(cls, metadata, key) : nullptr;
  int ambiguous = raw ? PySequence_Contains(raw, kDefault) : -1;
  if (ambiguous != 0) {
    return ambiguous < 0 ? nullptr
                         : raise_about(kMetadataError, cls, "Ambiguous default value for union member %U.%S.", key.get());
  }
  Ref child_metadata = copy_dict(raw);
  if (!child_metadata || PyDict_SetItem(child_metadata, kDefault, chosen ? content : Py_None) < 0) return nullptr;
  return build_child_field(member, key, child_metadata);
}

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  rt::RecursionGuard guard(" while building fields");
  if (!guard) return nullptr;
  PyObject* cls = args[0];
  PyObject* value = args[1];
  FieldStart start;
  if (!start_field(args, Order::kAliasFirst, start)) return nullptr;
  // No class check on the value: anything with `selected` and `content` serves.
  Ref selection = Ref::borrow(Py_None);
  Ref content = Ref::borrow(Py_None);
  if (value != Py_None) {
    selection = checked(rt::Returns::kStr, Ref::steal(PyObject_GetAttr(value, kSelected)));
    content = selection ? Ref::steal(PyObject_GetAttr(value, kContent)) : nullptr;
    if (!content) return nullptr;
  }
  Ref children = Ref::steal(PyList_New(0));
  Ref members = children ? Ref::steal(PyObject_CallMethodOneArg(cls, kContainedTypes, start.type_specification))
                         : nullptr;
  if (!members) return nullptr;
  if (!PyList_CheckExact(members.get())) {
    return PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(members.get())->tp_name);
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
    Ref member = Ref::borrow(PyList_GET_ITEM(members.get(), i));
    Ref field = member_field(cls, member, selection, content, start.metadata);
    if (!field || PyList_Append(children, field) < 0) return nullptr;
  }
  if (!set_children(start.metadata, children, selection)) return nullptr;
  return instantiate(kFieldUnion, start.name, start.metadata);
}

// {"selection": self.selected, self.selected: build_defaults(self.content)}, within `run`.
PyObject* union_defaults(PyObject* self, module_api::DefaultsRun* run) {
  rt::RecursionGuard guard(" while building defaults");
  if (!guard) return nullptr;
  auto* own_class = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref selection = Ref::steal(PyObject_GetAttr(self, kSelected));
  if (!selection) return nullptr;
  if (selection.get() == Py_None) return raise_about(kValidationError, own_class, "%U needs an active selection.");
  Ref content = content_of(self);
  if (!content) return nullptr;
  if (content.get() == Py_None) {
    return raise_about(kValidationError, own_class, "%U selection %R has no content.", selection.get());
  }
  content = content_of(self);
  if (!content) return nullptr;
  module_api::InnerDefaults convert(kBuildDefaults, run);
  Ref inner = convert ? convert(content) : nullptr;
  Ref defaults = inner ? Ref::steal(PyDict_New()) : nullptr;
  if (!defaults || PyDict_SetItem(defaults, kSelection, selection) < 0 ||
      PyDict_SetItem(defaults, selection, inner) < 0) {
    return nullptr;
  }
  return defaults.release();
}

PyObject* build_defaults(rt::Function*, PyObject* const* args) { return union_defaults(args[0], nullptr); }

// The first member class whose type key is `selection`, or None; the scan
// stops at the first match.
Ref selected_member(PyObject* members, PyObject* selection) {
  Ref classes = Ref::steal(PyObject_GetIter(members));
  if (!classes) return nullptr;
  while (Ref member = Ref::steal(PyIter_Next(classes))) {
    Ref key = call_global(kTypeKeyClass, member);
    int match = key ? PyObject_RichCompareBool(key, selection, Py_EQ) : -1;
    if (match != 0) return match < 0 ? nullptr : member;
  }
  return PyErr_Occurred() ? nullptr : Ref::borrow(Py_None);
}

// The member data under the selection, parsed for the selected member.
Ref selected_content(PyObject* cls, PyObject* data, PyObject* members, PyObject* selection) {
  Ref target = selected_member(members, selection);
  if (!target) return nullptr;
  if (target.get() == Py_None) {
    return raise_about(kValidationError, cls, "%U selection %R is not a valid member.", selection);
  }
  int present = PySequence_Contains(data, selection);
  if (present <= 0) {
    return present < 0 ? nullptr
                       : raise_about(kValidationError, cls, "%U selection %R is missing its content payload.",
                                     selection);
  }
  Ref member_data = get_entry(data, selection);
  if (!member_data) return nullptr;
  Ref content = parse(member_data, target);
  int fits = content ? rt::is_instance(content, target) : -1;
  if (fits > 0) return content;
  // Located at the member's data, which is what failed or did not fit.
  if (fits == 0) raise_about(kValidationError, cls, "%U selection %R produced incompatible content.", selection);
  return rt::locate(kQuorvelError, {selection});
}

// cls(content): library errors pass unchanged, any other Exception is
// reported as a parse failure caused by it.
PyObject* construct(PyObject* cls, PyObject* selection, PyObject* content) {
  PyObject* instance = PyObject_CallOneArg(cls, content);
  if (instance != nullptr || !PyErr_ExceptionMatches(PyExc_Exception) || rt::pending_is(kQuorvelError) != 0) return instance;
  return reraise_error(kParseError, true, [&](PyObject*) {
    Ref shown = call_global(kDisplayClassName, cls);
    Ref content_name = shown ? call_global(kDisplayClassName, reinterpret_cast<PyObject*>(Py_TYPE(content))) : nullptr;
    return content_name ? Ref::steal(PyUnicode_FromFormat("Could not instantiate %U with selection %R and content of "
                                                          "type %U.",
                                                          shown.get(), selection, content_name.get()))
                        : nullptr;
  });
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) {
  rt::RecursionGuard guard(" while parsing");
  if (!guard) return nullptr;
  PyObject* cls = args[0];
  PyObject* data = args[1];
  int aliased = PyObject_IsTrue(args[2]);
  if (aliased < 0) return nullptr;
  Ref members =
      checked(rt::Returns::kList, Ref::steal(PyObject_CallMethodOneArg(cls, kContainedTypes, aliased ? args[2] : cls)));
  if (!members) return nullptr;
  int mapping = PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyDict_Type));
  if (mapping <= 0) return mapping < 0 ? nullptr : raise_wrong_data(cls, "dict", data);
  Ref selection = get_entry(data, kSelection);
  if (!selection) return nullptr;
  if (selection.get() == Py_None) return raise_about(kValidationError, cls, "%U requires an active selection.");
  int text = PyObject_IsInstance(selection, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (text <= 0) {
    return text < 0 ? nullptr
                    : raise_about(kParseError, cls, "%U selection must be str, got %R.",
                                  reinterpret_cast<PyObject*>(Py_TYPE(selection.get())));
  }
  Ref content = selected_content(cls, data, members, selection);
  return content ? construct(cls, selection, content) : nullptr;
}

// ConfigUnion[...] takes exactly one union of configurable members.
PyObject* class_getitem(rt::Function* fn, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* item = args[1];
  Ref origin = rt::typing_origin(kGetOrigin, item);
  int union_item = origin ? is_union(origin, Py_NE) : -1;
  if (union_item <= 0) {
    return union_item < 0 ? nullptr
                          : raise_about(kTypeResolutionError, cls,
                                        "%U parameter must be Union[A, B, ...] or A | B | ..., got %R.", item);
  }
  Ref union_args = call_global(kGetArgs, item);
  Ref members = union_args ? Ref::steal(PySequence_Tuple(union_args)) : nullptr;
  if (!members) return nullptr;
  if (PyTuple_GET_SIZE(members.get()) == 0) {
    return raise_about(kTypeResolutionError, cls, "%U must have Union/UnionType arguments .");
  }
  return require_members(cls, members) ? parametrised(fn, cls, item) : nullptr;
}

// --- declarations ------------------------------------------------------------

constexpr auto kBuildFieldForTypeParams = content_fields::field_for_type_params("Type[ConfigUnion[U]]", "ConfigUnion[U] | None");
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any");

const rt::FunctionSpec kContainedTypesSpec = {
    "_contained_types",
    "Simple utility function that checks the member args and returns them.\n\n"
    "        Given ConfigUnion[Union[A, ...]] or ConfigUnion[A | B | ...] this returns [A, B, ...] and checks that they\n"
    "        adhere to the constraints formulated in the type annotations.\n"
    "        ",
    contained_types, kContainedTypeParams, "list[Type[Any]]"};
const rt::FunctionSpec kSelectedSpec = {"selected", "Return the identifier of the current selection.", selected,
                                        kSelfParams, "str | None"};
const rt::FunctionSpec kBuildFieldForTypeSpec = {
    "build_field_for_type", "Transform an instance of this class or None into the representation of this class.",
    build_field_for_type, kBuildFieldForTypeParams, "FieldUnion | BaseField"};
const rt::FunctionSpec kBuildDefaultsSpec = {"build_defaults", kNestedDefaultsDoc, build_defaults, kSelfParams,
                                             "dict[str, Any]"};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", kFromDefaultsDoc, from_defaults, kFromDefaultsParams,
                                            "ConfigUnion[U]"};
const rt::FunctionSpec kClassGetitemSpec = {"__class_getitem__", kClassGetitemDoc, class_getitem,
                                            kClassGetitemParams, "Any"};

constexpr const char* kConfigUnionDoc =
    "Templated union of multiple types selectable via UI.\n\n"
    "    Allowed:\n"
    "    - ConfigUnion[A | B | ...] where A, B, ... are of type BaseConfigurableData or PrimitiveTypes.\n"
    "    - ConfigUnion[Union[A, ...]] where A, ... are of type BaseConfigurableData or PrimitiveTypes.\n\n"
    "    Example allowed:\n"
    "        - ConfigUnion[Union[A, int]]\n"
    "        - ConfigUnion[Union[int]]\n"
    "        - ConfigUnion[int | A]\n\n"
    "    Example disallowed:\n"
    "         - ConfigUnion[int | type(None)]\n"
    "         - ConfigUnion[X | A] where X is neither of type BaseConfigurableData or PrimitiveTypes\n"
    "         - ConfigUnion[Union[X, A]] where X is neither of type BaseConfigurableData or PrimitiveTypes\n"
    "         - ConfigUnion (without parameters). This cannot be checked at annotation time, but at instantiation\n"
    "         - ConfigUnion[A] where A is arbitrary (can be BaseConfigurableData or PrimitiveTypes).\n"
    "    ";

// @dataclass class ConfigUnion(GenericWithArgs, Generic[U], BaseConfigurableData)
PyObject* config_union(PyObject* module) {
  Ref bases = generic_bases(generic_of(module, "U"));
  if (!bases) return nullptr;
  rt::ClassBuilder builder(module, "ConfigUnion", kConfigUnionDoc);
  builder.annotate("content", "ConfigValue | None").set("content", Py_NewRef(Py_None)).class_method(kContainedTypesSpec);
  Ref getter = builder.function(kSelectedSpec);
  builder.set("selected",
              getter ? PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter) : nullptr)
      .class_method(kBuildFieldForTypeSpec)
      .method(kBuildDefaultsSpec)
      .class_method(kFromDefaultsSpec)
      .class_method(kClassGetitemSpec);
  return as_dataclass(module, builder.create_from_bases(bases));
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {
      {"dataclasses", "dataclass"},
      {"types", "UnionType"},
      {"typing", "TypeVar"},
      {"typing", "Generic"},
      {"typing", "Union"},
      {"typing", "get_origin"},
      {"typing", "get_args"},
      {"typing", "Any"},
      {"typing", "Type"},
      {"nimbrel.quorvel.data.content_core", "ConfigValue"},
      {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
      {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
      {"nimbrel.quorvel.data.content_core", "require_valid_config_type"},
      {"nimbrel.quorvel.data.content_core", "require_valid_config_value"},
      {"nimbrel.quorvel.data.content_core", "build_defaults"},
      {"nimbrel.quorvel.data.parse", "from_defaults"},
      {"nimbrel.quorvel.data.serialize", "build_field"},
      {"nimbrel.quorvel.data.serialize", "instantiate_field"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelParseError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelValidationError"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.fields.field_models", "FieldUnion"},
      {"nimbrel.quorvel.typing.generic_params", "GenericWithArgs"},
      {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_arg"},
      {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_args"},
      {"nimbrel.quorvel.typing.type_lookup", "type_key_class"},
      })) {
    return false;
  }
  if (!init_keywords(module) || !add_type_var(module, "U") || !rt::add_object(module, "ConfigUnion", config_union(module))) {
    return false;
  }
  Ref cls = Ref::steal(PyObject_GetAttrString(module, "ConfigUnion"));
  return cls && module_api::add_defaults_kind(cls, union_defaults);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(union_content, "Union content: one of several member types, selected by type key.",
               quorvel::exec_module)
