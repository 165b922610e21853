// The UI form description: pydantic field models and their recursive dump.
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "../data/module_api.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kName("name");
rt::Name kDisplayName("display_name");
rt::Name kType("type");
rt::Name kFields("fields");
rt::Name kOptions("options");
rt::Name kValue("value");
rt::Name kCapitalize("capitalize");
rt::Name kDefaultType("default_type");
rt::Name kModelDump("model_dump");
rt::Name kPydanticComplete("__pydantic_complete__");
rt::Name kPydanticFields("__pydantic_fields__");
rt::Name kPydanticFieldsSet("__pydantic_fields_set__");
rt::Name kPydanticExtra("__pydantic_extra__");
rt::Name kPydanticPrivate("__pydantic_private__");
rt::Name kDefaultFactory("default_factory");
rt::Name kIsRequired("is_required");
rt::Name kModelFieldsSet("model_fields_set");

// Dump options every field model forces, so every key is always present.
rt::Name kExcludeUnset("exclude_unset");
rt::Name kExcludeDefaults("exclude_defaults");
rt::Name kExcludeNone("exclude_none");
rt::Name kByAlias("by_alias");
const rt::Name* const kForcedDumpOptions[] = {&kExcludeUnset, &kExcludeDefaults, &kExcludeNone, &kByAlias};

// Set when the module loads; the list validator tests items against it.
PyObject* base_content = nullptr;

// The direct paths of the library's own models, defined after the models.
struct Layout;
const Layout* dumpable(PyObject* self);
bool is_nested(const Layout& layout);
Ref dump_fields(const Layout& layout, PyObject* self);

// --- BaseField ---------------------------------------------------------------

bool fill_display_name_and_type(PyObject* self) {
  Ref display_name = Ref::steal(PyObject_GetAttr(self, kDisplayName));
  if (!display_name) return false;
  if (display_name.get() == Py_None) {
    Ref name = Ref::steal(PyObject_GetAttr(self, kName));
    if (!name) return false;
    // Looked up on the instance so that a subclass may prettify differently.
    Ref pretty = Ref::steal(PyObject_CallMethodOneArg(self, kCapitalize, name));
    if (!pretty || PyObject_SetAttr(self, kDisplayName, pretty) < 0) return false;
  }
  Ref type = Ref::steal(PyObject_GetAttr(self, kType));
  if (!type) return false;
  if (type.get() == Py_None) {
    Ref derived = Ref::steal(PyObject_CallMethodNoArgs(self, kDefaultType));
    if (!derived || PyObject_SetAttr(self, kType, derived) < 0) return false;
  }
  return true;
}

PyObject* base_model_post_init(rt::Function*, PyObject* const* args) {
  if (!fill_display_name_and_type(args[0])) return nullptr;
  Py_RETURN_NONE;
}

// "(?<!^)(?=[A-Z])" -> "_", then lower-cased: MyURLField gives my_u_r_l_field.
PyObject* default_type(rt::Function*, PyObject* const* args) {
  Ref name = Ref::steal(PyObject_GetAttr(args[0], kDunderName));
  if (!name) return nullptr;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "__name__ must be a str, not %.200s", Py_TYPE(name.get())->tp_name);
    return nullptr;
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
  int kind = PyUnicode_KIND(name.get());
  const void* data = PyUnicode_DATA(name.get());
  std::u32string split;
  split.reserve(length * 2);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (i > 0 && c >= 'A' && c <= 'Z') split.push_back('_');
    split.push_back(c);
  }
  Ref text = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, split.data(), split.size()));
  if (!text) return nullptr;
  return rt::lower(text).release();
}

// The text of Python's `str.capitalize` for each "_"-separated piece, joined
// with blanks. ASCII text is done in one pass; other text goes through the
// string methods, whose case rules (title case, special casing) are Unicode's.
PyObject* capitalize_ascii(PyObject* content) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(content);
  const Py_UCS1* source = PyUnicode_1BYTE_DATA(content);
  PyObject* result = PyUnicode_New(length, 127);
  if (result == nullptr) return nullptr;
  Py_UCS1* target = PyUnicode_1BYTE_DATA(result);
  bool piece_start = true;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS1 c = source[i];
    if (c == '_') {
      target[i] = ' ';
      piece_start = true;
      continue;
    }
    if (piece_start && c >= 'a' && c <= 'z') c = static_cast<Py_UCS1>(c - ('a' - 'A'));
    if (!piece_start && c >= 'A' && c <= 'Z') c = static_cast<Py_UCS1>(c + ('a' - 'A'));
    target[i] = c;
    piece_start = false;
  }
  return result;
}

PyObject* capitalize_unicode(PyObject* content) {
  Ref underscore = Ref::steal(PyUnicode_FromString("_"));
  Ref blank = Ref::steal(PyUnicode_FromString(" "));
  if (!underscore || !blank) return nullptr;
  Ref pieces = Ref::steal(PyUnicode_Split(content, underscore, -1));
  if (!pieces) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
    PyObject* piece = PyObject_CallMethodNoArgs(PyList_GET_ITEM(pieces.get(), i), kCapitalize);
    if (piece == nullptr) return nullptr;
    PyList_SetItem(pieces, i, piece);
  }
  return PyUnicode_Join(blank, pieces);
}

PyObject* capitalize_text(PyObject* content) {
  return PyUnicode_IS_ASCII(content) ? capitalize_ascii(content) : capitalize_unicode(content);
}

PyObject* capitalize(rt::Function*, PyObject* const* args) { return capitalize_text(args[0]); }

// `f"{module}.{qualname}()"` as the interpreter names a callable in its
// argument errors.
Ref callable_text(PyObject* callable) {
  Ref qualname = Ref::steal(PyObject_GetAttr(callable, kDunderQualname));
  if (!qualname) return nullptr;
  Ref module = Ref::steal(PyObject_GetAttr(callable, kDunderModule));
  if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
    return Ref::steal(PyUnicode_FromFormat("%U.%S()", module.get(), qualname.get()));
  }
  PyErr_Clear();
  return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}

// The caller's keywords plus the forced dump options; a caller who passes
// one of those gets the interpreter's error for a keyword given twice.
Ref forced_dump_keywords(PyObject* kwargs, PyObject* target) {
  Ref merged = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
  if (!merged) return nullptr;
  for (const rt::Name* option : kForcedDumpOptions) {
    int present = PyDict_Contains(merged, *option);
    if (present < 0) return nullptr;
    if (present) {
      Ref text = callable_text(target);
      if (text) {
        PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%U'", text.get(), option->get());
      }
      return nullptr;
    }
    if (PyDict_SetItem(merged, *option, Py_False) < 0) return nullptr;
  }
  return merged;
}

// pydantic's own dump with the forced options.
Ref dump_with_pydantic(rt::Function* fn, PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref dump = rt::super_attr(fn->owner, self, kModelDump);
  Ref forced = dump ? forced_dump_keywords(kwargs, dump) : nullptr;
  return forced ? Ref::steal(PyObject_Call(dump, args, forced)) : nullptr;
}

// Set on a thread while a dump goes pydantic's way because the direct way
// gave up somewhere below: the levels under it then go that way too, instead
// of each trying the direct way again, which would take time quadratic in the
// depth of the tree.
thread_local int dumping_through_pydantic = 0;

struct ThroughPydantic {
  ThroughPydantic() { ++dumping_through_pydantic; }
  ~ThroughPydantic() { --dumping_through_pydantic; }
  ThroughPydantic(const ThroughPydantic&) = delete;
  ThroughPydantic& operator=(const ThroughPydantic&) = delete;
};

// The library's own model of `self`, when a dump called with `args` and
// `kwargs` may be made directly; nullptr otherwise.
const Layout* directly_dumpable(PyObject* self, PyObject* args, PyObject* kwargs) {
  bool plain = PyTuple_GET_SIZE(args) == 0 && kwargs == nullptr && dumping_through_pydantic == 0;
  return plain ? dumpable(self) : nullptr;
}

// The dump of a model of the given kind (nested or not): made directly where
// that is proven, else by `general`, pydantic's way.
template <typename General>
PyObject* dump_model(PyObject* const* args, bool nested, General general) {
  const Layout* layout = directly_dumpable(args[0], args[1], args[2]);
  if (!layout || is_nested(*layout) != nested) return general().release();
  Ref data = dump_fields(*layout, args[0]);
  if (data || PyErr_Occurred()) return data.release();
  ThroughPydantic below;
  return general().release();
}

PyObject* base_model_dump(rt::Function* fn, PyObject* const* args) {
  // Reached through super() by the nested kinds too, which then want pydantic's dump.
  return dump_model(args, false, [&] { return dump_with_pydantic(fn, args[0], args[1], args[2]); });
}

PyObject* base_get_children(rt::Function*, PyObject* const*) { return PyList_New(0); }

// --- FieldNested -------------------------------------------------------------

PyObject* nested_get_children(rt::Function*, PyObject* const* args) { return PyObject_GetAttr(args[0], kFields); }

// Every child dumps through its own kind, with the caller's options.
Ref dump_children(PyObject* self, PyObject* args, PyObject* kwargs) {
  rt::RecursionGuard guard(" while dumping nested fields");
  if (!guard) return nullptr;
  Ref children = Ref::steal(PyObject_GetAttr(self, kFields));
  if (!children) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(children));
  Ref dumped = Ref::steal(PyList_New(0));
  if (!iterator || !dumped) return nullptr;
  while (Ref child = Ref::steal(PyIter_Next(iterator))) {
    // A child of the library's own kinds dumps as its model_dump would, without the call.
    const Layout* layout = directly_dumpable(child, args, kwargs);
    Ref item = layout ? dump_fields(*layout, child) : nullptr;
    if (!item && !PyErr_Occurred()) {
      Ref dump = Ref::steal(PyObject_GetAttr(child, kModelDump));
      item = dump ? Ref::steal(PyObject_Call(dump, args, kwargs)) : nullptr;
    }
    if (!item || PyList_Append(dumped, item) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return dumped;
}

// BaseField's dump through super(), then every child by its own kind.
Ref dump_nested(rt::Function* fn, PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref dump = rt::super_attr(fn->owner, self, kModelDump);
  Ref data = dump ? Ref::steal(PyObject_Call(dump, args, kwargs)) : nullptr;
  Ref children = data ? dump_children(self, args, kwargs) : nullptr;
  if (!children || PyObject_SetItem(data, kFields, children) < 0) return nullptr;
  return data;
}

PyObject* nested_model_dump(rt::Function* fn, PyObject* const* args) {
  return dump_model(args, true, [&] { return dump_nested(fn, args[0], args[1], args[2]); });
}

// --- FieldEnum ---------------------------------------------------------------

// The "value" of every option, in order (None for an option without one).
Ref option_values(PyObject* options) {
  Ref iterator = Ref::steal(PyObject_GetIter(options));
  Ref values = Ref::steal(PyList_New(0));
  if (!iterator || !values) return nullptr;
  while (Ref option = Ref::steal(PyIter_Next(iterator))) {
    Ref value = Ref::steal(PyObject_CallMethodOneArg(option, kGet, kValue));
    if (!value || PyList_Append(values, value) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return values;
}

// Resets `default` to None unless it is one of the option values.
PyObject* enum_model_post_init(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  if (!fill_display_name_and_type(self)) return nullptr;
  Ref options = Ref::steal(PyObject_GetAttr(self, kOptions));
  if (!options) return nullptr;
  int has_options = PyObject_IsTrue(options);
  if (has_options < 0) return nullptr;
  if (has_options) {
    Ref values = option_values(options);
    Ref current = values ? Ref::steal(PyObject_GetAttr(self, kDefault)) : nullptr;
    if (!values || !current) return nullptr;
    int known = PySequence_Contains(values, current);
    if (known < 0) return nullptr;
    if (known) Py_RETURN_NONE;
  }
  if (PyObject_SetAttr(self, kDefault, Py_None) < 0) return nullptr;
  Py_RETURN_NONE;
}

// --- FieldList ---------------------------------------------------------------

int is_admitted_list_item(PyObject* item) {
  if (PyDict_Check(item)) return 1;
  int content = rt::is_instance(item, base_content);
  if (content != 0) return content;
  return PyLong_Check(item) || PyUnicode_Check(item) || PyFloat_Check(item) || PyBool_Check(item);
}

PyObject* list_validate_defaults(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  Ref items = Ref::steal(PyObject_GetAttr(self, kDefault));
  if (!items) return nullptr;
  if (items.get() == Py_None) return Py_NewRef(self);
  Ref iterator = Ref::steal(PyObject_GetIter(items));
  if (!iterator) return nullptr;
  Py_ssize_t index = 0;
  for (; Ref item = Ref::steal(PyIter_Next(iterator)); ++index) {
    int admitted = is_admitted_list_item(item);
    if (admitted < 0) return nullptr;
    if (admitted) continue;
    Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(item.get()))));
    if (!type_text) return nullptr;
    PyErr_Format(PyExc_ValueError, "List item %zd must be a dict/content/primitives, got %U", index, type_text.get());
    return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return Py_NewRef(self);
}

// --- FieldUnion --------------------------------------------------------------

Ref child_names(PyObject* self) {
  Ref children = Ref::steal(PyObject_GetAttr(self, kFields));
  if (!children) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(children));
  Ref names = Ref::steal(PySet_New(nullptr));
  if (!iterator || !names) return nullptr;
  while (Ref child = Ref::steal(PyIter_Next(iterator))) {
    Ref name = Ref::steal(PyObject_GetAttr(child, kName));
    if (!name || PySet_Add(names, name) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return names;
}

PyObject* union_validate_default(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  Ref available = child_names(self);
  if (!available) return nullptr;
  Ref current = Ref::steal(PyObject_GetAttr(self, kDefault));
  if (!current) return nullptr;
  if (current.get() == Py_None) return Py_NewRef(self);
  int known = PySet_Contains(available, current);
  if (known < 0) return nullptr;
  if (known) return Py_NewRef(self);
  Ref sorted = Ref::steal(PySequence_List(available));
  if (!sorted || PyList_Sort(sorted) < 0) return nullptr;
  PyErr_Format(PyExc_ValueError, "FieldUnion.default '%S' not in options %S", current.get(), sorted.get());
  return nullptr;
}

// Only the selected variant is active: the first child named by `default`.
PyObject* union_get_children(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  Ref current = Ref::steal(PyObject_GetAttr(self, kDefault));
  if (!current) return nullptr;
  int selected = PyObject_IsTrue(current);
  if (selected <= 0) return selected < 0 ? nullptr : PyList_New(0);
  Ref children = Ref::steal(PyObject_GetAttr(self, kFields));
  if (!children) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(children));
  if (!iterator) return nullptr;
  while (Ref child = Ref::steal(PyIter_Next(iterator))) {
    Ref name = Ref::steal(PyObject_GetAttr(child, kName));
    if (!name) return nullptr;
    int match = PyObject_RichCompareBool(name, current, Py_EQ);
    if (match < 0) return nullptr;
    if (!match) continue;
    PyObject* selected_child = PyList_New(1);
    if (selected_child != nullptr) PyList_SET_ITEM(selected_child, 0, child.release());
    return selected_child;
  }
  if (PyErr_Occurred()) return nullptr;
  return PyList_New(0);
}

// --- FieldOptional -----------------------------------------------------------

PyObject* optional_get_children(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  Ref enabled = Ref::steal(PyObject_GetAttr(self, kDefault));
  if (!enabled) return nullptr;
  int on = PyObject_IsTrue(enabled);
  if (on < 0) return nullptr;
  return on ? PyObject_GetAttr(self, kFields) : PyList_New(0);
}

// --- declarations --------------------------------------------------------------

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kCls[] = {{"cls"}};
constexpr rt::Param kBasePostInitParams[] = {{"self"}, {"_BaseField__context", "Any"}};
constexpr rt::Param kEnumPostInitParams[] = {{"self"}, {"_FieldEnum__context", "Any"}};
constexpr rt::Param kDumpParams[] = {
    {"self"}, {"args", "Any", rt::Kind::kVarPositional}, {"kwargs", "Any", rt::Kind::kVarKeyword}};
constexpr rt::Param kCapitalizeParams[] = {{"content", "str"}};

constexpr const char* kChildrenDoc = "Return the list of active subfields.";

const rt::FunctionSpec kBasePostInit = {
    "model_post_init", "Default post init; fill in defaults for display name and type if not specified.",
    base_model_post_init, kBasePostInitParams, "None"};
const rt::FunctionSpec kDefaultTypeSpec = {"default_type", "Derive default type string from class name.",
                                           default_type, kCls, "str"};
const rt::FunctionSpec kBaseDump = {"model_dump", "Serialize this field, its content and all subfields.",
                                    base_model_dump, kDumpParams, "dict[str, Any]"};
const rt::FunctionSpec kBaseChildren = {"get_children", kChildrenDoc, base_get_children, kSelf, "list[BaseField]"};
const rt::FunctionSpec kCapitalizeSpec = {"capitalize", "Capitalize and prettify snake_case string into Title Case.",
                                          capitalize, kCapitalizeParams, "str"};
const rt::FunctionSpec kNestedChildren = {"get_children", kChildrenDoc, nested_get_children, kSelf,
                                          "list[BaseField]"};
const rt::FunctionSpec kNestedDump = {"model_dump", "Recursively serialize this field, its content and all subfields.",
                                      nested_model_dump, kDumpParams, "dict[str, Any]"};
const rt::FunctionSpec kEnumPostInit = {
    "model_post_init", "Fill in default if no valid value specified and call the base post init.",
    enum_model_post_init, kEnumPostInitParams, "None"};
const rt::FunctionSpec kListValidate = {"_validate_defaults",
                                        "Check that every item of the default is a dict, content or primitive.",
                                        list_validate_defaults, kSelf, "FieldList"};
const rt::FunctionSpec kUnionChildren = {"get_children", kChildrenDoc, union_get_children, kSelf, "list[BaseField]"};
const rt::FunctionSpec kUnionValidate = {"_validate_default", "Check that the default names one of the child fields.",
                                         union_validate_default, kSelf, "FieldUnion"};
const rt::FunctionSpec kOptionalChildren = {"get_children", kChildrenDoc, optional_get_children, kSelf,
                                            "list[BaseField]"};

// How a model field gets its default.
enum class Initial { kRequired, kNone, kEmptyText, kZero, kZeroFloat, kFalse, kNewList, kNewDict };

// What a model field's annotation admits, which decides how it is built and
// dumped directly (see the direct paths below).
enum class Slot : unsigned char {
  kName,          // str
  kText,          // str | None
  kInteger,       // int | None
  kFloat,         // float | None
  kOptionalBool,  // bool | None
  kBool,          // bool
  kChoice,        // str | int | None
  kJson,          // dict[str, Any]
  kOptions,       // list[dict[str, str | int]]
  kChildren,      // list[BaseField]
  kRows,          // list[dict[Any, Any] | BaseContent | int | str | float | bool]
};

struct ModelField {
  const char* name;
  const char* annotation;
  Initial initial;
  Slot slot;
};

// How a method is placed in the class namespace.
enum class Binding { kMethod, kClassMethod, kStaticMethod, kAfterValidator };

struct Member {
  const rt::FunctionSpec& spec;
  Binding binding;
};

struct Model {
  const char* name;
  const char* base;  // nullptr: pydantic's BaseModel, with our model_config
  const char* doc;
  std::span<const ModelField> fields;
  std::span<const Member> members;
};

constexpr ModelField kBaseFields[] = {
    {"name", "str", Initial::kRequired, Slot::kName},
    {"description", "str | None", Initial::kNone, Slot::kText},
    {"display_name", "str | None", Initial::kNone, Slot::kText},
    {"type", "str | None", Initial::kNone, Slot::kText},
};
constexpr ModelField kTextFields[] = {{"default", "str | None", Initial::kEmptyText, Slot::kText}};
constexpr ModelField kIntegerFields[] = {
    {"default", "int | None", Initial::kZero, Slot::kInteger},
    {"min", "int | None", Initial::kNone, Slot::kInteger},
    {"max", "int | None", Initial::kNone, Slot::kInteger}};
constexpr ModelField kFloatFields[] = {{"default", "float | None", Initial::kZeroFloat, Slot::kFloat},
                                       {"min", "float | None", Initial::kNone, Slot::kFloat},
                                       {"max", "float | None", Initial::kNone, Slot::kFloat}};
constexpr ModelField kBoolFields[] = {{"default", "bool | None", Initial::kFalse, Slot::kOptionalBool}};
constexpr ModelField kJsonFields[] = {{"default", "dict[str, Any]", Initial::kNewDict, Slot::kJson}};
constexpr ModelField kEnumFields[] = {{"options", "list[dict[str, str | int]]", Initial::kNewList, Slot::kOptions},
                                      {"default", "str | int | None", Initial::kNone, Slot::kChoice}};
constexpr ModelField kNestedFields[] = {{"fields", "list[BaseField]", Initial::kNewList, Slot::kChildren}};
constexpr ModelField kListFields[] = {{"default", "list[dict[Any, Any] | BaseContent | int | str | float | bool]",
                                       Initial::kNewList, Slot::kRows}};
constexpr ModelField kUnionFields[] = {{"default", "str | None", Initial::kNone, Slot::kText}};
constexpr ModelField kOptionalFields[] = {{"default", "bool", Initial::kFalse, Slot::kBool}};

const Member kBaseMembers[] = {{kBasePostInit, Binding::kMethod},
                               {kDefaultTypeSpec, Binding::kClassMethod},
                               {kBaseDump, Binding::kMethod},
                               {kBaseChildren, Binding::kMethod},
                               {kCapitalizeSpec, Binding::kStaticMethod}};
const Member kEnumMembers[] = {{kEnumPostInit, Binding::kMethod}};
const Member kNestedMembers[] = {{kNestedChildren, Binding::kMethod}, {kNestedDump, Binding::kMethod}};
const Member kListMembers[] = {{kListValidate, Binding::kAfterValidator}};
const Member kUnionMembers[] = {{kUnionChildren, Binding::kMethod}, {kUnionValidate, Binding::kAfterValidator}};
const Member kOptionalMembers[] = {{kOptionalChildren, Binding::kMethod}};

#define DEFAULT_DOC "    default: Default / assigned value.\n"

const Model kBaseField = {
    "BaseField", nullptr,
    "Base class for all UI field types with metadata and recursive behavior.\n\n"
    "Attributes:\n"
    "    name: Internal name of the field, usually snake_case. Determines the output structure.\n"
    "    description: Optional description text for UI display.\n"
    "    display_name: Optional human-readable label; auto-generated from `name` if omitted.\n"
    "    type: Type identifier for the frontend. Inferred from the class name if omitted.\n",
    kBaseFields, kBaseMembers};
const Model kFieldString = {"FieldString", "BaseField", "Basic string field.\n\nAttributes:\n" DEFAULT_DOC,
                            kTextFields};
const Model kFieldPassword = {"FieldPassword", "BaseField", "Basic password field.\n\nAttributes:\n" DEFAULT_DOC,
                              kTextFields};
const Model kFieldTextArea = {"FieldTextArea", "BaseField", "Basic text area field.\n\nAttributes:\n" DEFAULT_DOC,
                              kTextFields};
const Model kFieldInteger = {"FieldInteger", "BaseField",
                             "Basic integer field with optional bounds.\n\nAttributes:\n" DEFAULT_DOC
                             "    min: Optional minimum allowed value.\n"
                             "    max: Optional maximum allowed value.\n",
                             kIntegerFields};
const Model kFieldFloat = {"FieldFloat", "BaseField",
                           "Basic float field with optional bounds.\n\nAttributes:\n" DEFAULT_DOC
                           "    min: Optional minimum allowed value.\n"
                           "    max: Optional maximum allowed value.\n",
                           kFloatFields};
const Model kFieldBool = {"FieldBool", "BaseField", "Basic bool field.\n\nAttributes:\n" DEFAULT_DOC, kBoolFields};
const Model kFieldJsonText = {"FieldJsonText", "BaseField", "Basic JSON field.\n\nAttributes:\n" DEFAULT_DOC,
                              kJsonFields};
const Model kFieldEnum = {"FieldEnum", "BaseField",
                          "Basic enum field with selectable options.\n\n"
                          "Attributes:\n"
                          "    options: List of available options, each with at least a \"value\" key.\n"
                          "    default: Currently selected option value or None.\n",
                          kEnumFields, kEnumMembers};
const Model kFieldNested = {"FieldNested", "BaseField",
                            "Base class for fields that contain one or more nested subfields.\n\n"
                            "Attributes:\n"
                            "    fields: Nested child fields contained in this field.\n",
                            kNestedFields, kNestedMembers};
const Model kFieldData = {"FieldData", "FieldNested", "Group field that contains a list of subfields.", {}};
const Model kFieldList = {"FieldList", "FieldNested",
                          "List field containing repeated items.\n\n"
                          "Attributes:\n"
                          "    default: Values currently contained in the list, for example [1, 2, 3]\n"
                          "        or a list of dictionaries keyed by content field names.\n",
                          kListFields, kListMembers};
const Model kFieldUnion = {"FieldUnion", "FieldNested",
                           "Union field selecting exactly one child variant.\n\n"
                           "Attributes:\n"
                           "    default: Name of the active child field, or None if none is selected.\n",
                           kUnionFields, kUnionMembers};
const Model kFieldOptional = {"FieldOptional", "FieldNested",
                              "Optional field that can enable or disable its children.\n\n"
                              "Attributes:\n"
                              "    default: True when the nested fields are enabled, False otherwise.\n",
                              kOptionalFields, kOptionalMembers};

// In definition order: each model's annotations may name the ones before it.
const Model* const kModels[] = {&kBaseField,    &kFieldString,   &kFieldPassword, &kFieldTextArea, &kFieldInteger,
                                &kFieldFloat,   &kFieldBool,     &kFieldJsonText, &kFieldEnum,     &kFieldNested,
                                &kFieldData,    &kFieldList,     &kFieldUnion,    &kFieldOptional};

// --- the library's own models, built and dumped directly -----------------------

// pydantic validates a field model's keywords, runs model_post_init and the
// after validator, and dumps the values back out, all through the model's core
// schema and Python-level glue. For the library's own classes and values of
// the exact built-in types whose outcome is known, the same is done here: given
// values are kept (a container copied, as validation copies it), left-out
// fields take pydantic's defaults, the post-init fill-ins are recorded in the
// fields set as pydantic's __setattr__ records them, and a dump copies the
// values back out. A class takes these paths only unchanged since a self-check
// at import built and dumped samples of it both ways and found them to agree;
// a value of any other type, a dump option, a subclass or a changed class goes
// through pydantic.

constexpr std::size_t kMaxFields = 8;
enum BaseIndex : std::size_t { kNameIndex, kDescriptionIndex, kDisplayNameIndex, kTypeIndex };

struct FieldSlot {
  PyObject* name = nullptr;  // interned
  Slot slot = Slot::kName;
  PyObject* fallback = nullptr;  // pydantic's default, where the field has one
  PyObject* factory = nullptr;   // pydantic's default factory, where the field has one
};

struct Layout {
  PyTypeObject* cls = nullptr;
  std::array<FieldSlot, kMaxFields> fields;
  std::size_t count = 0;
  bool nested = false;
  bool enum_post_init = false;
  rt::Impl after_validator = nullptr;
  std::size_t options_index = 0;  // of an enum field
  std::size_t default_index = 0;
  rt::TypeState built;   // the class as the self-check of direct construction found it
  rt::TypeState dumped;  // the class as the self-check of the direct dump found it
  // default_type() of the class, with the __name__ it was derived from: a
  // rename does not change the class's version tag.
  PyObject* type_source = nullptr;
  PyObject* type_text = nullptr;
};

std::array<Layout, std::size(kModels)> layouts;

// dict_is_content's answer, kept with the abc cache token it was found under.
struct ContentVerdict {
  long long token_seen = -1;
  bool dict_is_content = false;
};
ContentVerdict content_verdict;

Layout* layout_of(PyTypeObject* cls) {
  for (Layout& layout : layouts) {
    if (layout.cls == cls) return &layout;
  }
  return nullptr;
}

bool is_nested(const Layout& layout) { return layout.nested; }

const Layout* dumpable(PyObject* self) {
  const Layout* layout = layout_of(Py_TYPE(self));
  return layout && layout->dumped.unchanged(reinterpret_cast<PyObject*>(layout->cls)) ? layout : nullptr;
}

// The position of the field `key` names, or count when it names none.
std::size_t index_of(const Layout& layout, PyObject* key) {
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (layout.fields[i].name == key) return i;
  }
  if (!PyUnicode_CheckExact(key)) return layout.count;
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (PyUnicode_Equal(layout.fields[i].name, key) == 1) return i;
  }
  return layout.count;
}

// Whether `dict` is a (virtual) subclass of BaseContent, in which case pydantic
// would keep a row as the content it is. The answer is kept until an ABC
// registration changes abc's cache token.
int dict_is_content() {
  long long token = 0;
  if (!rt::abc_cache_token(token)) return -1;
  if (token == content_verdict.token_seen) return content_verdict.dict_is_content;
  int content = rt::is_subclass(reinterpret_cast<PyObject*>(&PyDict_Type), base_content);
  if (content < 0) return -1;
  content_verdict.dict_is_content = content;
  content_verdict.token_seen = token;
  return content;
}

// --- values, as validation keeps them and a dump gives them back ---

// Values pydantic keeps as they are under an annotation that names their exact
// type; a subclass, a bool for an int or an int for a float would be converted.
bool keeps_scalar(Slot slot, PyObject* value) {
  switch (slot) {
    case Slot::kName:
      return PyUnicode_CheckExact(value);
    case Slot::kText:
      return value == Py_None || PyUnicode_CheckExact(value);
    case Slot::kInteger:
      return value == Py_None || PyLong_CheckExact(value);
    case Slot::kFloat:
      return value == Py_None || PyFloat_CheckExact(value);
    case Slot::kOptionalBool:
      return value == Py_None || PyBool_Check(value);
    case Slot::kBool:
      return PyBool_Check(value);
    case Slot::kChoice:
      return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value);
    default:
      return false;
  }
}

// An exact dict whose keys are all exactly str and whose values all pass `test`.
bool text_keyed(PyObject* mapping, bool (*test)(PyObject*)) {
  if (!PyDict_CheckExact(mapping)) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key) || !test(value)) return false;
  }
  return true;
}

bool is_anything(PyObject*) { return true; }

bool is_option_value(PyObject* value) { return PyUnicode_CheckExact(value) || PyLong_CheckExact(value); }

bool has_text_keys(PyObject* mapping) { return text_keyed(mapping, is_anything); }

// dict[str, str | int], with values exactly str or int.
bool is_plain_option(PyObject* option) { return text_keyed(option, is_option_value); }

bool all_items(PyObject* items, bool (*test)(PyObject*)) {
  if (!PyList_CheckExact(items)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
    if (!test(PyList_GET_ITEM(items, i))) return false;
  }
  return true;
}

bool is_exact_dict(PyObject* value) { return PyDict_CheckExact(value); }

// Children that pydantic keeps as the very objects: instances of BaseField's
// real subclasses (model instances are not validated again).
bool is_child(PyObject* value) {
  return PyObject_TypeCheck(value, layouts[0].cls);
}

// Rows that pydantic validates as dicts: exact dicts, while dict is no content.
int are_dict_rows(PyObject* rows) {
  if (!all_items(rows, is_exact_dict)) return 0;
  int content = dict_is_content();
  return content < 0 ? -1 : !content;
}

// A new list of the items' shallow copies.
Ref dict_copies(PyObject* items) {
  Py_ssize_t count = PyList_GET_SIZE(items);
  Ref copies = Ref::steal(PyList_New(count));
  if (!copies) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* copy = PyDict_Copy(PyList_GET_ITEM(items, i));
    if (copy == nullptr) return nullptr;
    PyList_SET_ITEM(copies.get(), i, copy);
  }
  return copies;
}

// What validation stores for `value` under `slot`: the value itself, or a new
// container holding the same items; nullptr (an error set only when copying
// failed) when the outcome is not known.
Ref validated(Slot slot, PyObject* value) {
  switch (slot) {
    case Slot::kJson:
      return has_text_keys(value) ? Ref::steal(PyDict_Copy(value)) : nullptr;
    case Slot::kOptions:
      return all_items(value, is_plain_option) ? dict_copies(value) : nullptr;
    case Slot::kChildren:
      return all_items(value, is_child) ? Ref::steal(PyList_GetSlice(value, 0, PyList_GET_SIZE(value))) : nullptr;
    case Slot::kRows: {
      int rows = are_dict_rows(value);
      return rows > 0 ? dict_copies(value) : nullptr;
    }
    default:
      return keeps_scalar(slot, value) ? Ref::borrow(value) : nullptr;
  }
}

// pydantic dumps a value of type Any, and each row of FieldList.default
// through the union of item kinds, by its runtime type. For dicts with text
// keys, lists, text, numbers, booleans and None that copies every dict and
// list and keeps every other value as it is.
bool is_kept_as_is(PyObject* value) {
  return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
         PyUnicode_CheckExact(value);
}

Ref plain_copy(PyObject* value);

Ref plain_list_copy(PyObject* items) {
  Ref copy = Ref::steal(PyList_New(PyList_GET_SIZE(items)));
  if (!copy) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
    PyObject* item = plain_copy(PyList_GET_ITEM(items, i)).release();
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(copy.get(), i, item);
  }
  return copy;
}

// The dict copied in one step once its keys are known to be text; a nested
// value then replaces its entry in the copy with its own copy, which keeps the
// key order. The copy is made when the first nested value is met, or at the end.
Ref plain_dict_copy(PyObject* mapping) {
  Ref copy;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return nullptr;
    if (is_kept_as_is(value)) continue;
    if (!copy && !(copy = Ref::steal(PyDict_Copy(mapping)))) return nullptr;
    Ref item = plain_copy(value);
    if (!item || PyDict_SetItem(copy, key, item) < 0) return nullptr;
  }
  return copy ? copy : Ref::steal(PyDict_Copy(mapping));
}

// `value` as pydantic dumps it, or nullptr (an error set only when copying
// failed) when it holds anything else than the plain kinds above. Nesting too
// deep for the guard, a cycle included, is also left to pydantic.
Ref plain_copy(PyObject* value) {
  if (is_kept_as_is(value)) return Ref::borrow(value);
  rt::RecursionGuard guard(" while dumping plain values");
  if (!guard) {
    PyErr_Clear();
    return nullptr;
  }
  if (PyList_CheckExact(value)) return plain_list_copy(value);
  if (PyDict_CheckExact(value)) return plain_dict_copy(value);
  return nullptr;
}

Ref dumped_children(PyObject* children);

// What pydantic's dump gives for `value` under `slot`, or nullptr (an error
// set only when dumping failed) when that is not known.
Ref dumped_value(Slot slot, PyObject* value) {
  switch (slot) {
    case Slot::kJson:
      return PyDict_CheckExact(value) ? plain_copy(value) : nullptr;
    case Slot::kOptions:
      return all_items(value, is_plain_option) ? plain_copy(value) : nullptr;
    case Slot::kChildren:
      return dumped_children(value);
    case Slot::kRows:
      return all_items(value, is_exact_dict) ? plain_copy(value) : nullptr;
    default:
      return keeps_scalar(slot, value) ? Ref::borrow(value) : nullptr;
  }
}

// The model's values in declaration order, as the dump lists them: its
// `__dict__` copied, with every container replaced by its dump. Anything else
// in that `__dict__` leaves the dump to pydantic.
Ref dump_fields(const Layout& layout, PyObject* self) {
  Ref values = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!values || PyDict_GET_SIZE(values.get()) != static_cast<Py_ssize_t>(layout.count)) return nullptr;
  Ref data;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  for (std::size_t i = 0; PyDict_Next(values, &position, &key, &value); ++i) {
    const FieldSlot& field = layout.fields[i];
    if (key != field.name && index_of(layout, key) != i) return nullptr;
    Ref item = dumped_value(field.slot, value);
    if (!item) return nullptr;
    if (item.get() == value) continue;
    if (!data && !(data = Ref::steal(PyDict_Copy(values)))) return nullptr;
    if (PyDict_SetItem(data, key, item) < 0) return nullptr;
  }
  return data ? data : Ref::steal(PyDict_Copy(values));
}

// Every child dumped as its own model_dump does; nullptr (an error set only
// when dumping failed) as soon as one child is not of a proven kind, as its
// parent is then dumped by pydantic, which reads the children too. A tree too
// deep for the stack fails here: pydantic's way takes more stack per level,
// and trying it from each level on the way back would take quadratic time.
Ref dumped_children(PyObject* children) {
  if (!PyList_CheckExact(children)) return nullptr;
  rt::RecursionGuard guard(" while dumping nested fields");
  if (!guard) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(children);
  Ref dumped = Ref::steal(PyList_New(count));
  if (!dumped) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* child = PyList_GET_ITEM(children, i);
    const Layout* layout = dumpable(child);
    PyObject* item = layout ? dump_fields(*layout, child).release() : nullptr;
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(dumped.get(), i, item);
  }
  return dumped;
}

// --- construction ---

// The values of one model being built, in declaration order.
struct Draft {
  std::array<Ref, kMaxFields> values;
};

// Takes the keyword `key`; false when it names no field, is given twice or its
// value's outcome is not known (or an error is set).
bool take(const Layout& layout, Draft& draft, std::size_t index, PyObject* value) {
  if (index >= layout.count || draft.values[index]) return false;
  draft.values[index] = validated(layout.fields[index].slot, value);
  return static_cast<bool>(draft.values[index]);
}

bool take_all(const Layout& layout, Draft& draft, PyObject* name, PyObject* display_name, PyObject* metadata) {
  if (name && !take(layout, draft, kNameIndex, name)) return false;
  if (display_name && !take(layout, draft, kDisplayNameIndex, display_name)) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(metadata, &position, &key, &value)) {
    if (!take(layout, draft, index_of(layout, key), value)) return false;
  }
  return static_cast<bool>(draft.values[kNameIndex]);
}

// The fields given, in declaration order, as validation records them.
Ref given_fields(const Layout& layout, const Draft& draft) {
  Ref names = Ref::steal(PySet_New(nullptr));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (draft.values[i] && PySet_Add(names, layout.fields[i].name) < 0) return nullptr;
  }
  return names;
}

bool fill_defaults(const Layout& layout, Draft& draft) {
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (draft.values[i]) continue;
    const FieldSlot& field = layout.fields[i];
    draft.values[i] = field.factory ? Ref::steal(PyObject_CallNoArgs(field.factory)) : Ref::borrow(field.fallback);
    if (!draft.values[i]) return false;
  }
  return true;
}

// A field set by model_post_init, which pydantic's __setattr__ adds to the fields set.
bool assign(const Layout& layout, Draft& draft, PyObject* fields_set, std::size_t index, Ref value) {
  draft.values[index] = std::move(value);
  return draft.values[index] && PySet_Add(fields_set, layout.fields[index].name) == 0;
}

// default_type() of the class, derived again only when it was renamed.
Ref type_text(Layout& layout) {
  Ref source = Ref::steal(PyType_GetName(layout.cls));
  if (!source) return nullptr;
  if (source.get() != layout.type_source) {
    PyObject* cls = reinterpret_cast<PyObject*>(layout.cls);
    Ref derived = Ref::steal(default_type(nullptr, &cls));
    if (!derived) return nullptr;
    Py_XSETREF(layout.type_source, source.release());
    Py_XSETREF(layout.type_text, derived.release());
  }
  return Ref::borrow(layout.type_text);
}

// FieldEnum's post-init: the default is kept only when it is an option value.
bool settle_enum_default(const Layout& layout, Draft& draft, PyObject* fields_set) {
  PyObject* options = draft.values[layout.options_index];
  if (PyList_GET_SIZE(options) > 0) {
    Ref values = option_values(options);
    int known = values ? PySequence_Contains(values, draft.values[layout.default_index]) : -1;
    if (known != 0) return known > 0;
  }
  return assign(layout, draft, fields_set, layout.default_index, Ref::borrow(Py_None));
}

// model_post_init of the library's own classes, on the values being built.
bool post_init(Layout& layout, Draft& draft, PyObject* fields_set) {
  if (draft.values[kDisplayNameIndex].get() == Py_None &&
      !assign(layout, draft, fields_set, kDisplayNameIndex, Ref::steal(capitalize_text(draft.values[kNameIndex])))) {
    return false;
  }
  if (draft.values[kTypeIndex].get() == Py_None &&
      !assign(layout, draft, fields_set, kTypeIndex, type_text(layout))) {
    return false;
  }
  return !layout.enum_post_init || settle_enum_default(layout, draft, fields_set);
}

// The instance as pydantic's validation leaves it: `__dict__` in declaration
// order, no extra and no private values, and the fields set.
Ref new_model(const Layout& layout, const Draft& draft, PyObject* fields_set) {
  Ref values = rt::presized_dict(layout.count);
  if (!values) return nullptr;
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (PyDict_SetItem(values, layout.fields[i].name, draft.values[i]) < 0) return nullptr;
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref model = no_args ? Ref::steal(layout.cls->tp_new(layout.cls, no_args, nullptr)) : nullptr;
  if (!model || PyObject_GenericSetDict(model, values, nullptr) < 0 ||
      PyObject_GenericSetAttr(model, kPydanticExtra, Py_None) < 0 ||
      PyObject_GenericSetAttr(model, kPydanticPrivate, Py_None) < 0 ||
      PyObject_GenericSetAttr(model, kPydanticFieldsSet, fields_set) < 0) {
    return nullptr;
  }
  return model;
}

// The after validator; a refusal is left to pydantic, which reports it in its own error.
PyObject* validated_after(const Layout& layout, Ref model) {
  if (layout.after_validator == nullptr) return model.release();
  PyObject* args[] = {model.get()};
  Ref checked = Ref::steal(layout.after_validator(nullptr, args));
  if (!checked) {
    PyErr_Clear();
    return nullptr;
  }
  return model.release();
}

PyObject* construct_layout(Layout& layout, PyObject* name, PyObject* display_name, PyObject* metadata) {
  Draft draft;
  if (!take_all(layout, draft, name, display_name, metadata)) return nullptr;
  Ref fields_set = given_fields(layout, draft);
  if (!fields_set || !fill_defaults(layout, draft) || !post_init(layout, draft, fields_set)) return nullptr;
  Ref model = new_model(layout, draft, fields_set);
  return model ? validated_after(layout, std::move(model)) : nullptr;
}

PyObject* construct(PyObject* cls, PyObject* name, PyObject* display_name, PyObject* metadata) {
  Layout* layout = PyType_Check(cls) ? layout_of(reinterpret_cast<PyTypeObject*>(cls)) : nullptr;
  if (layout == nullptr || !layout->built.unchanged(cls)) return nullptr;
  return construct_layout(*layout, name, display_name, metadata);
}

// BaseField's own capitalize, while the class and its metaclass's attribute
// lookup are as the self-check found them.
PyObject* capitalize_own(PyObject* base_field, PyObject* text) {
  const Layout& base = layouts[0];
  if (base_field != reinterpret_cast<PyObject*>(base.cls) || !base.built.unchanged(base_field) ||
      Py_TYPE(base_field)->tp_getattro != PyType_Type.tp_getattro || !PyUnicode_CheckExact(text)) {
    return nullptr;
  }
  return capitalize_text(text);
}

module_api::FieldModels api = {construct, capitalize_own};

// --- the self-check ---

// One keyword set to build a class with; `child` and `other` (named "other")
// are fields to nest.
struct Sample {
  const Model& model;
  Ref (*keywords)(PyObject* child, PyObject* other);
};

template <typename... Args>
Ref values_of(const char* format, Args... args) {
  return Ref::steal(Py_BuildValue(format, args...));
}

// Every field given with a value of each kind it keeps, and left out; labels
// and types left to model_post_init or given empty; enum defaults kept and reset.
const Sample kSamples[] = {
    {kBaseField,
     [](PyObject*, PyObject*) { return values_of("{s:s,s:s}", "name", "probe_name", "description", "About"); }},
    {kFieldString,
     [](PyObject*, PyObject*) {
       return values_of("{s:s,s:s,s:s}", "name", "probe", "display_name", "Probe", "default", "text");
     }},
    {kFieldPassword, [](PyObject*, PyObject*) { return values_of("{s:s,s:O}", "name", "probe", "default", Py_None); }},
    {kFieldTextArea,
     [](PyObject*, PyObject*) { return values_of("{s:s,s:s,s:s}", "name", "probe", "display_name", "", "type", ""); }},
    {kFieldInteger,
     [](PyObject*, PyObject*) {
       return values_of("{s:s,s:i,s:O,s:i}", "name", "probe", "default", 3, "min", Py_None, "max", 10);
     }},
    {kFieldFloat,
     [](PyObject*, PyObject*) { return values_of("{s:s,s:d,s:d}", "name", "probe", "default", 1.5, "min", -0.5); }},
    {kFieldBool, [](PyObject*, PyObject*) { return values_of("{s:s,s:O}", "name", "probe", "default", Py_True); }},
    {kFieldJsonText,
     [](PyObject*, PyObject*) {
       return values_of("{s:s,s:{s:[i{s:O}],s:d,s:s}}", "name", "probe", "default", "a", 1, "b", Py_None, "c", 2.5,
                        "d", "text");
     }},
    {kFieldEnum,
     [](PyObject*, PyObject*) {
       return values_of("{s:s,s:[{s:s,s:s},{s:s,s:i}],s:i}", "name", "probe", "options", "text", "A", "value", "a",
                        "text", "B", "value", 2, "default", 2);
     }},
    {kFieldEnum,
     [](PyObject*, PyObject*) {
       return values_of("{s:s,s:[{s:s,s:s}],s:s}", "name", "probe", "options", "text", "A", "value", "a", "default",
                        "z");
     }},
    {kFieldEnum, [](PyObject*, PyObject*) { return values_of("{s:s}", "name", "probe"); }},
    {kFieldNested,
     [](PyObject* child, PyObject*) { return values_of("{s:s,s:[O]}", "name", "probe", "fields", child); }},
    {kFieldData,
     [](PyObject* child, PyObject* other) {
       return values_of("{s:s,s:s,s:[OO]}", "name", "probe", "description", "About", "fields", child, other);
     }},
    {kFieldList,
     [](PyObject* child, PyObject*) {
       return values_of("{s:s,s:[O],s:[{s:{s:i,s:[dOs],s:{s:O}}},{s:s},{}]}", "name", "probe", "fields", child,
                        "default", "content", "a", 1, "b", 1.5, Py_None, "x", "c", "d", Py_True, "content", "text");
     }},
    {kFieldUnion,
     [](PyObject* child, PyObject* other) {
       return values_of("{s:s,s:[OO],s:s}", "name", "probe", "fields", child, other, "default", "other");
     }},
    {kFieldUnion,
     [](PyObject* child, PyObject*) { return values_of("{s:s,s:[O]}", "name", "probe", "fields", child); }},
    {kFieldOptional,
     [](PyObject* child, PyObject*) {
       return values_of("{s:s,s:[O],s:O}", "name", "probe", "fields", child, "default", Py_True);
     }},
};

// 1 when the two fields agree in everything a caller can see: class,
// equality, repr, fields set and which objects they share with the keywords.
int same_model(PyObject* general, PyObject* direct, PyObject* keywords) {
  if (Py_TYPE(general) != Py_TYPE(direct)) return 0;
  int equal = PyObject_RichCompareBool(general, direct, Py_EQ);
  int shown = equal > 0 ? rt::same_repr(general, direct) : equal;
  if (shown <= 0) return shown;
  Ref general_set = Ref::steal(PyObject_GetAttr(general, kModelFieldsSet));
  Ref direct_set = general_set ? Ref::steal(PyObject_GetAttr(direct, kModelFieldsSet)) : nullptr;
  int same_set = direct_set ? PyObject_RichCompareBool(general_set, direct_set, Py_EQ) : -1;
  if (same_set <= 0) return same_set;
  Ref general_values = Ref::steal(PyObject_GenericGetDict(general, nullptr));
  Ref direct_values = general_values ? Ref::steal(PyObject_GenericGetDict(direct, nullptr)) : nullptr;
  return direct_values ? rt::same_sharing(keywords, general_values, direct_values) : -1;
}

// 1 when the direct dump of `field` agrees with its dump through pydantic,
// `dump` being the model_dump method of its kind.
int same_dump(const Layout& layout, PyObject* field, rt::Function* dump) {
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref general = no_args ? (layout.nested ? dump_nested(dump, field, no_args, nullptr)
                                         : dump_with_pydantic(dump, field, no_args, nullptr))
                        : nullptr;
  Ref direct = general ? dump_fields(layout, field) : nullptr;
  int shown = direct ? rt::same_repr(general, direct) : -1;
  if (shown <= 0) return shown;
  Ref values = Ref::steal(PyObject_GenericGetDict(field, nullptr));
  return values ? rt::same_sharing(values, general, direct) : -1;
}

// The model_dump methods of the base and the nested kinds, as their classes hold them.
struct DumpMethods {
  rt::Function* base;
  rt::Function* nested;
};

// Builds and dumps one sample both ways; whether they agree goes into `built`
// and `dumped`. false when either way failed.
bool check_sample(Layout& layout, const Sample& sample, const DumpMethods& dumps, bool& built, bool& dumped,
                 PyObject* child, PyObject* other) {
  auto* cls = reinterpret_cast<PyObject*>(layout.cls);
  Ref keywords = sample.keywords(child, other);
  Ref no_args = keywords ? Ref::steal(PyTuple_New(0)) : nullptr;
  Ref general = no_args ? Ref::steal(PyObject_Call(cls, no_args, keywords)) : nullptr;
  if (!general) return false;
  Ref direct = Ref::steal(construct_layout(layout, nullptr, nullptr, keywords));
  int agrees = direct ? same_model(general, direct, keywords) : (PyErr_Occurred() ? -1 : 0);
  if (agrees < 0) return false;
  built = built && agrees > 0;
  agrees = same_dump(layout, general, layout.nested ? dumps.nested : dumps.base);
  if (agrees < 0) return false;
  dumped = dumped && agrees > 0;
  return true;
}

// Children of the nested samples, built the general way.
Ref sample_child(PyObject* module, const char* kind, const char* name) {
  Ref cls = Ref::steal(PyObject_GetAttrString(module, kind));
  Ref keywords = cls ? values_of("{s:s}", "name", name) : nullptr;
  Ref no_args = keywords ? Ref::steal(PyTuple_New(0)) : nullptr;
  return no_args ? Ref::steal(PyObject_Call(cls, no_args, keywords)) : nullptr;
}

// Checks every class in definition order, so that nested samples dump their
// children directly once those kinds are proven; a class whose samples do not
// all agree, or any failure, leaves that class to pydantic.
void check_direct_paths(PyObject* module, const DumpMethods& dumps) {
  Ref child = sample_child(module, "FieldString", "child");
  Ref other = child ? sample_child(module, "FieldInteger", "other") : nullptr;
  for (std::size_t i = 0; other && i < std::size(kModels); ++i) {
    Layout& layout = layouts[i];
    bool built = true;
    bool dumped = true;
    int samples = 0;
    for (const Sample& sample : kSamples) {
      if (&sample.model != kModels[i]) continue;
      ++samples;
      if (!check_sample(layout, sample, dumps, built, dumped, child, other)) {
        built = dumped = false;
        PyErr_Clear();
      }
    }
    built = built && samples > 0;
    dumped = dumped && samples > 0;
    auto* cls = reinterpret_cast<PyObject*>(layout.cls);
    if (!(built && layout.built.record(cls))) layout.built.forget();
    if (!(dumped && layout.dumped.record(cls))) layout.dumped.forget();
  }
  PyErr_Clear();
}

// --- layouts ---

// pydantic's default of the field: its default factory, else its default
// unless the field is required.
bool read_default(PyObject* infos, FieldSlot& field) {
  PyObject* info = PyDict_GetItemWithError(infos, field.name);
  if (info == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "field model has no field %U", field.name);
    return false;
  }
  Ref factory = Ref::steal(PyObject_GetAttr(info, kDefaultFactory));
  if (!factory) return false;
  if (factory.get() != Py_None) {
    field.factory = factory.release();
    return true;
  }
  Ref required = Ref::steal(PyObject_CallMethodNoArgs(info, kIsRequired));
  int is_required = required ? PyObject_IsTrue(required) : -1;
  if (is_required != 0) return is_required > 0;
  field.fallback = PyObject_GetAttr(info, kDefault);
  return field.fallback != nullptr;
}

const Model* model_named(const char* name) {
  for (const Model* model : kModels) {
    if (std::string_view(model->name) == name) return model;
  }
  return nullptr;
}

// The fields and members of `model` and its bases, base first.
bool add_model(Layout& layout, const Model& model, PyObject* infos) {
  if (model.base && !add_model(layout, *model_named(model.base), infos)) return false;
  for (const ModelField& declared : model.fields) {
    FieldSlot& field = layout.fields[layout.count];
    field.slot = declared.slot;
    field.name = PyUnicode_InternFromString(declared.name);
    if (field.name == nullptr || !read_default(infos, field)) return false;
    if (declared.slot == Slot::kOptions) layout.options_index = layout.count;
    if (std::string_view(declared.name) == "default") layout.default_index = layout.count;
    ++layout.count;
  }
  for (const Member& member : model.members) {
    layout.nested = layout.nested || &member.spec == &kNestedDump;
    layout.enum_post_init = layout.enum_post_init || &member.spec == &kEnumPostInit;
    if (member.binding == Binding::kAfterValidator) layout.after_validator = member.spec.impl;
  }
  return true;
}

bool init_layout(PyObject* module, const Model& model, Layout& layout) {
  Ref cls = Ref::steal(PyObject_GetAttrString(module, model.name));
  Ref infos = cls ? Ref::steal(PyObject_GetAttr(cls, kPydanticFields)) : nullptr;
  if (!infos || !add_model(layout, model, infos)) return false;
  layout.cls = reinterpret_cast<PyTypeObject*>(cls.release());
  return true;
}

rt::Function* dump_method(PyObject* module, const char* class_name) {
  Ref cls = Ref::steal(PyObject_GetAttrString(module, class_name));
  Ref namespace_ = cls ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get()))) : nullptr;
  PyObject* method = namespace_ ? PyDict_GetItemWithError(namespace_, kModelDump) : nullptr;
  return reinterpret_cast<rt::Function*>(method);
}

bool init_direct_paths(PyObject* module) {
  for (std::size_t i = 0; i < std::size(kModels); ++i) {
    if (!init_layout(module, *kModels[i], layouts[i])) return false;
  }
  DumpMethods dumps = {dump_method(module, "BaseField"), dump_method(module, "FieldNested")};
  if (dumps.base == nullptr || dumps.nested == nullptr) return false;
  check_direct_paths(module, dumps);
  return module_api::export_api(module, module_api::kFieldModelsCapsule, api);
}

// --- class creation ----------------------------------------------------------

PyObject* initial_value(PyObject* module, Initial initial) {
  switch (initial) {
    case Initial::kRequired:
      return nullptr;
    case Initial::kNone:
      return Py_NewRef(Py_None);
    case Initial::kEmptyText:
      return PyUnicode_FromString("");
    case Initial::kZero:
      return PyLong_FromLong(0);
    case Initial::kZeroFloat:
      return PyFloat_FromDouble(0.0);
    case Initial::kFalse:
      return Py_NewRef(Py_False);
    case Initial::kNewList:
    case Initial::kNewDict: {
      // Field(default_factory=list) / Field(default_factory=dict)
      Ref field = Ref::steal(PyObject_GetAttrString(module, "Field"));
      Ref kwargs = Ref::steal(PyDict_New());
      if (!field || !kwargs) return nullptr;
      auto* factory = initial == Initial::kNewList ? &PyList_Type : &PyDict_Type;
      if (PyDict_SetItemString(kwargs, "default_factory", reinterpret_cast<PyObject*>(factory)) < 0) return nullptr;
      Ref no_args = Ref::steal(PyTuple_New(0));
      return no_args ? PyObject_Call(field, no_args, kwargs) : nullptr;
    }
  }
  return nullptr;
}

// ConfigDict(arbitrary_types_allowed=True, ignored_types=(cast(Any, Callable),), extra="forbid")
PyObject* model_config(PyObject* module) {
  Ref config_dict = Ref::steal(PyObject_GetAttrString(module, "ConfigDict"));
  Ref callable = Ref::steal(PyObject_GetAttrString(module, "Callable"));
  if (!config_dict || !callable) return nullptr;
  Ref ignored = Ref::steal(PyTuple_Pack(1, callable.get()));
  Ref forbid = Ref::steal(PyUnicode_FromString("forbid"));
  Ref kwargs = Ref::steal(PyDict_New());
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!ignored || !forbid || !kwargs || !no_args) return nullptr;
  if (PyDict_SetItemString(kwargs, "arbitrary_types_allowed", Py_True) < 0 ||
      PyDict_SetItemString(kwargs, "ignored_types", ignored) < 0 || PyDict_SetItemString(kwargs, "extra", forbid) < 0) {
    return nullptr;
  }
  return PyObject_Call(config_dict, no_args, kwargs);
}

// `model_validator(mode="after")(fn)`
PyObject* after_validator(PyObject* module, PyObject* fn) {
  if (fn == nullptr) return nullptr;
  Ref decorator_factory = Ref::steal(PyObject_GetAttrString(module, "model_validator"));
  Ref kwargs = Ref::steal(PyDict_New());
  Ref after = Ref::steal(PyUnicode_FromString("after"));
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!decorator_factory || !kwargs || !after || !no_args || PyDict_SetItemString(kwargs, "mode", after) < 0) {
    return nullptr;
  }
  Ref decorator = Ref::steal(PyObject_Call(decorator_factory, no_args, kwargs));
  return decorator ? PyObject_CallOneArg(decorator, fn) : nullptr;
}

void add_member(PyObject* module, rt::ClassBuilder& builder, const Member& member) {
  switch (member.binding) {
    case Binding::kMethod:
      builder.method(member.spec);
      break;
    case Binding::kClassMethod:
      builder.class_method(member.spec);
      break;
    case Binding::kStaticMethod:
      builder.static_method(member.spec);
      break;
    case Binding::kAfterValidator:
      builder.set(member.spec.name, after_validator(module, builder.function(member.spec)));
      break;
  }
}

// Creates the model through pydantic's metaclass and binds it in the module,
// where the string annotations of later models find it.
bool define(PyObject* module, const Model& model) {
  rt::ClassBuilder builder(module, model.name, model.doc);
  for (const ModelField& field : model.fields) {
    builder.annotate(field.name, field.annotation);
    if (field.initial != Initial::kRequired) builder.set(field.name, initial_value(module, field.initial));
  }
  if (model.base == nullptr) builder.set("model_config", model_config(module));
  for (const Member& member : model.members) add_member(module, builder, member);
  Ref base = Ref::steal(PyObject_GetAttrString(module, model.base ? model.base : "BaseModel"));
  if (!base) return false;
  Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
  Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
  Ref kwargs = Ref::steal(PyDict_New());
  // Without this pydantic would read the locals of whatever Python frame
  // happens to be importing us as the namespace of the annotations.
  if (!bases || !kwargs || PyDict_SetItemString(kwargs, "__pydantic_reset_parent_namespace__", Py_False) < 0) {
    return false;
  }
  Ref cls = builder.create(metaclass, bases, kwargs);
  if (!cls) return false;
  Ref complete = Ref::steal(PyObject_GetAttr(cls, kPydanticComplete));
  if (!complete) return false;
  if (complete.get() != Py_True) {
    PyErr_Format(PyExc_ImportError, "field model %s could not be completed", model.name);
    return false;
  }
  return rt::add_object(module, model.name, cls.release());
}

// FormField = FieldString | FieldPassword | ... | FieldOptional
bool define_form_field(PyObject* module) {
  static const char* const kMembers[] = {"FieldString", "FieldPassword", "FieldTextArea", "FieldInteger",
                                         "FieldFloat",  "FieldBool",     "FieldJsonText", "FieldEnum",
                                         "FieldList",   "FieldData",     "FieldUnion",    "FieldOptional"};
  Ref alias;
  for (const char* member : kMembers) {
    Ref cls = Ref::steal(PyObject_GetAttrString(module, member));
    if (!cls) return false;
    alias = alias ? Ref::steal(PyNumber_Or(alias, cls)) : cls;
    if (!alias) return false;
  }
  return rt::add_object(module, "FormField", alias.release());
}

bool bind_imports(PyObject* module) {
  return rt::bind_imports(module, {{nullptr, "re"},
                                   {"collections.abc", "Callable"},
                                   {"pydantic", "BaseModel"},
                                   {"pydantic", "Field"},
                                   {"pydantic", "model_validator"},
                                   {"pydantic", "ConfigDict"},
                                   {"typing", "Any"},
                                   {"typing", "cast"},
                                   {"nimbrel.quorvel.data.base", "BaseContent"}});
}

bool exec_module(PyObject* module) {
  if (!bind_imports(module)) return false;
  Py_XSETREF(base_content, PyObject_GetAttrString(module, "BaseContent"));
  if (base_content == nullptr) return false;
  for (const Model* model : kModels) {
    if (!define(module, *model)) return false;
  }
  return define_form_field(module) && init_direct_paths(module);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(field_models,
               "Defines the UI field schema (BaseField and its subclasses).\n\n"
               "Primitive fields (string, int, float, bool, and so on) and composite fields (group, list,\n"
               "union, optional) are all pydantic models with defaults, metadata and a recursive model_dump.",
               quorvel::exec_module)
