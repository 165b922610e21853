// The UI form description: pydantic field models and their recursive dump.
#include <span>
#include <string>

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

// Dump options every field model forces, so every key is always present.
rt::Name kExcludeUnset("exclude_unset");
rt::Name kExcludeDefaults("exclude_defaults");
rt::Name kExcludeNone("exclude_none");
rt::Name kByAlias("by_alias");
const rt::Name* const kForcedDumpOptions[] = {&kExcludeUnset, &kExcludeDefaults, &kExcludeNone, &kByAlias};

// Set when the module loads; the list validator tests items against it.
PyObject* base_content = nullptr;

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

PyObject* capitalize(rt::Function*, PyObject* const* args) {
  PyObject* content = args[0];
  return PyUnicode_IS_ASCII(content) ? capitalize_ascii(content) : capitalize_unicode(content);
}

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

PyObject* base_model_dump(rt::Function* fn, PyObject* const* args) {
  Ref dump = rt::super_attr(fn->owner, args[0], kModelDump);
  if (!dump) return nullptr;
  Ref kwargs = forced_dump_keywords(args[2], dump);
  if (!kwargs) return nullptr;
  return PyObject_Call(dump, args[1], kwargs);
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
    Ref dump = Ref::steal(PyObject_GetAttr(child, kModelDump));
    if (!dump) return nullptr;
    Ref item = Ref::steal(PyObject_Call(dump, args, kwargs));
    if (!item || PyList_Append(dumped, item) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return dumped;
}

// --- FieldList dump ----------------------------------------------------------

// pydantic dumps each row of FieldList.default through the union of item
// kinds. For rows made only of exact dicts with text keys, lists, text,
// numbers, booleans and None, that dump copies every dict and list and keeps
// every other value as it is, which is done here directly. It applies to the
// library's own FieldList, unchanged since a self-check at import compared
// both ways on a sample, dumped without options.
struct RowDump {
  PyObject* field_list = nullptr;
  PyObject* without_default = nullptr;  // {"exclude": {"default"}}
  rt::TypeState checked;
};
RowDump row_dump;

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

Ref plain_dict_copy(PyObject* mapping) {
  Ref copy = Ref::steal(PyDict_New());
  if (!copy) return nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return nullptr;
    Ref item = plain_copy(value);
    if (!item || PyDict_SetItem(copy, key, item) < 0) return nullptr;
  }
  return copy;
}

// `value` as pydantic dumps it, or nullptr (an error set only when copying
// failed) when it holds anything else than the plain kinds above. Nesting too
// deep for the guard, a cycle included, is also left to pydantic.
Ref plain_copy(PyObject* value) {
  if (is_kept_as_is(value)) return Ref::borrow(value);
  rt::RecursionGuard guard(" while dumping list rows");
  if (!guard) {
    PyErr_Clear();
    return nullptr;
  }
  if (PyList_CheckExact(value)) return plain_list_copy(value);
  if (PyDict_CheckExact(value)) return plain_dict_copy(value);
  return nullptr;
}

// The dump of a FieldList whose rows copy plainly: pydantic dumps all but the
// rows, whose copy is appended as the last key, the place of `default`.
Ref dump_with_plain_rows(rt::Function* fn, PyObject* self, PyObject* no_args) {
  Ref rows = Ref::steal(PyObject_GetAttr(self, kDefault));
  Ref copies = rows && PyList_CheckExact(rows.get()) ? plain_copy(rows) : nullptr;
  if (!copies) return nullptr;
  Ref dump = rt::super_attr(fn->owner, self, kModelDump);
  Ref data = dump ? Ref::steal(PyObject_Call(dump, no_args, row_dump.without_default)) : nullptr;
  Ref children = data ? dump_children(self, no_args, nullptr) : nullptr;
  if (!children || PyObject_SetItem(data, kFields, children) < 0 || PyObject_SetItem(data, kDefault, copies) < 0) {
    return nullptr;
  }
  return data;
}

bool dumps_rows_plainly(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(row_dump.field_list) &&
         row_dump.checked.unchanged(row_dump.field_list) && PyTuple_GET_SIZE(args) == 0 && kwargs == nullptr;
}

Ref dump_nested(rt::Function* fn, PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref dump = rt::super_attr(fn->owner, self, kModelDump);
  Ref data = dump ? Ref::steal(PyObject_Call(dump, args, kwargs)) : nullptr;
  Ref children = data ? dump_children(self, args, kwargs) : nullptr;
  if (!children || PyObject_SetItem(data, kFields, children) < 0) return nullptr;
  return data;
}

PyObject* nested_model_dump(rt::Function* fn, PyObject* const* args) {
  PyObject* self = args[0];
  if (dumps_rows_plainly(self, args[1], args[2])) {
    Ref data = dump_with_plain_rows(fn, self, args[1]);
    if (data || PyErr_Occurred()) return data.release();
  }
  return dump_nested(fn, self, args[1], args[2]).release();
}

// Dumps a small FieldList the general way and directly; the direct way is
// taken from now on only if the two agree. Any failure leaves it off.
void check_row_dump(rt::Function* nested_dump) {
  Ref rows = Ref::steal(Py_BuildValue("[{s:{s:i,s:[dOs],s:{s:O}}},{s:s},{}]", "content", "a", 1, "b", 1.5, Py_None,
                                      "x", "c", "d", Py_True, "content", "text"));
  Ref kwargs = rows ? Ref::steal(Py_BuildValue("{s:s,s:O}", "name", "probe", "default", rows.get())) : nullptr;
  Ref field = kwargs ? Ref::steal(PyObject_VectorcallDict(row_dump.field_list, nullptr, 0, kwargs)) : nullptr;
  Ref no_args = field ? Ref::steal(PyTuple_New(0)) : nullptr;
  Ref general = no_args ? dump_nested(nested_dump, field, no_args, nullptr) : nullptr;
  Ref fast = general ? dump_with_plain_rows(nested_dump, field, no_args) : nullptr;
  int agrees = fast ? rt::same_repr(general, fast) : -1;
  PyObject* general_rows = agrees > 0 ? PyDict_GetItemWithError(general, kDefault) : nullptr;
  PyObject* fast_rows = general_rows ? PyDict_GetItemWithError(fast, kDefault) : nullptr;
  agrees = fast_rows ? rt::same_sharing(rows, general_rows, fast_rows) : -1;
  if (agrees > 0 && row_dump.checked.record(row_dump.field_list)) return;
  PyErr_Clear();
  row_dump.checked.forget();
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

struct ModelField {
  const char* name;
  const char* annotation;
  Initial initial;
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
    {"name", "str", Initial::kRequired},
    {"description", "str | None", Initial::kNone},
    {"display_name", "str | None", Initial::kNone},
    {"type", "str | None", Initial::kNone},
};
constexpr ModelField kTextFields[] = {{"default", "str | None", Initial::kEmptyText}};
constexpr ModelField kIntegerFields[] = {
    {"default", "int | None", Initial::kZero}, {"min", "int | None", Initial::kNone}, {"max", "int | None", Initial::kNone}};
constexpr ModelField kFloatFields[] = {{"default", "float | None", Initial::kZeroFloat},
                                       {"min", "float | None", Initial::kNone},
                                       {"max", "float | None", Initial::kNone}};
constexpr ModelField kBoolFields[] = {{"default", "bool | None", Initial::kFalse}};
constexpr ModelField kJsonFields[] = {{"default", "dict[str, Any]", Initial::kNewDict}};
constexpr ModelField kEnumFields[] = {{"options", "list[dict[str, str | int]]", Initial::kNewList},
                                      {"default", "str | int | None", Initial::kNone}};
constexpr ModelField kNestedFields[] = {{"fields", "list[BaseField]", Initial::kNewList}};
constexpr ModelField kListFields[] = {
    {"default", "list[dict[Any, Any] | BaseContent | int | str | float | bool]", Initial::kNewList}};
constexpr ModelField kUnionFields[] = {{"default", "str | None", Initial::kNone}};
constexpr ModelField kOptionalFields[] = {{"default", "bool", Initial::kFalse}};

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

// {"exclude": {"default"}}
Ref without_default() {
  Ref excluded = Ref::steal(PySet_New(nullptr));
  if (!excluded || PySet_Add(excluded, kDefault) < 0) return nullptr;
  return Ref::steal(Py_BuildValue("{s:O}", "exclude", excluded.get()));
}

bool init_row_dump(PyObject* module) {
  row_dump.field_list = PyObject_GetAttrString(module, "FieldList");
  row_dump.without_default = without_default().release();
  Ref nested = Ref::steal(PyObject_GetAttrString(module, "FieldNested"));
  Ref nested_dict = nested ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(nested.get()))) : nullptr;
  PyObject* nested_dump = nested_dict ? PyDict_GetItemWithError(nested_dict, kModelDump) : nullptr;
  if (!row_dump.field_list || !row_dump.without_default || !nested_dump) return false;
  check_row_dump(reinterpret_cast<rt::Function*>(nested_dump));
  return true;
}

bool exec_module(PyObject* module) {
  if (!bind_imports(module)) return false;
  Py_XSETREF(base_content, PyObject_GetAttrString(module, "BaseContent"));
  if (base_content == nullptr) return false;
  for (const Model* model : kModels) {
    if (!define(module, *model)) return false;
  }
  return define_form_field(module) && init_row_dump(module);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(field_models,
               "Defines the UI field schema (BaseField and its subclasses).\n\n"
               "Primitive fields (string, int, float, bool, and so on) and composite fields (group, list,\n"
               "union, optional) are all pydantic models with defaults, metadata and a recursive model_dump.",
               quorvel::exec_module)
