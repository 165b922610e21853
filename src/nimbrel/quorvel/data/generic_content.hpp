// What the generic content kinds (list, optional, union) share: resolving and checking their type
// argument, subscription, the start of building their field, and the calls they make to their siblings.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "content_glue.hpp"
#include "content_fields.hpp"
#include "parse_call.hpp"
#include "runtime.hpp"

namespace quorvel::generic_content {

inline rt::Name kContent("content");
inline rt::Name kFields("fields");
inline rt::Name kDisplayName("display_name");
inline rt::Name kTypingAlias("typing_alias");
inline rt::Name kContainedType("_contained_type");
inline rt::Name kDunderClassGetitem("__class_getitem__");

inline rt::Global kRequireValidConfigType("require_valid_config_type");
inline rt::Global kBuildDefaults("build_defaults");
inline rt::Global kFromDefaults("from_defaults");
inline rt::Global kBuildField("build_field");
inline rt::Global kParseError("QuorvelParseError");
inline rt::Global kResolveGenericArg("resolve_generic_arg");
inline rt::Global kGenericWithArgs("GenericWithArgs");

// build_field(value_type=, name=, metadata=)
inline rt::Keywords build_field_keywords({"value_type", "name", "metadata"});

inline bool init_keywords(PyObject* module) { return parse_call::remember_dispatcher(module); }

// --- calls and errors --------------------------------------------------------

// The raising helpers answer nullptr, so they can end a function returning
// either a plain pointer or a Ref.

// Raises `error_class(message)`; steals `message` (nullptr passes its error on).
// rt::raise_global for functions that return a Ref.
inline std::nullptr_t raise_error(const rt::Global& error_class, PyObject* message) {
  rt::raise_global(error_class, message);
  return nullptr;
}

// Raises `error_class` with a message whose first argument is D, the display
// name of `cls`.
template <typename... Args>
std::nullptr_t raise_about(const rt::Global& error_class, PyObject* cls, const char* format, Args... args) {
  static_assert((std::is_same_v<Args, PyObject*> && ...), "message arguments are plain object pointers");
  Ref shown = rt::call_global(kDisplayClassName, cls);
  return shown ? raise_error(error_class, PyUnicode_FromFormat(format, shown.get(), args...)) : nullptr;
}

// rt::reraise for functions that return a Ref.
template <typename MakeMessage>
std::nullptr_t reraise_error(const rt::Global& error_class, bool as_cause, MakeMessage make_message) {
  rt::reraise(error_class, as_cause, make_message);
  return nullptr;
}

// Inside a handler: raises `error_class` with the message formatted from D,
// `args` and the caught exception, which stays attached as context.
template <typename... Args>
std::nullptr_t raise_about_caught(const rt::Global& error_class, PyObject* cls, const char* format, Args... args) {
  static_assert((std::is_same_v<Args, PyObject*> && ...), "message arguments are plain object pointers");
  return reraise_error(error_class, false, [&](PyObject* error) {
    Ref shown = rt::call_global(kDisplayClassName, cls);
    return shown ? Ref::steal(PyUnicode_FromFormat(format, shown.get(), args..., error)) : nullptr;
  });
}

// `value` if it passes the check a built-in return annotation makes (None
// always passes), else TypeError.
inline Ref checked(rt::Returns expected, Ref value) { return Ref::steal(rt::check_return(expected, value.release())); }

inline std::nullptr_t raise_not_parametrised(PyObject* cls) {
  return raise_about(kTypeResolutionError, cls, "%U must be parametrised.");
}

// "Expected <kind> data for D, got <type of data>."
inline std::nullptr_t raise_wrong_data(PyObject* cls, const char* kind, PyObject* data) {
  Ref shown = rt::call_global(kDisplayClassName, cls);
  if (!shown) return nullptr;
  return raise_error(kParseError, PyUnicode_FromFormat("Expected %s data for %U, got %R.", kind, shown.get(),
                                                        reinterpret_cast<PyObject*>(Py_TYPE(data))));
}

// type_key_class(tp), which must be text or None.
inline Ref type_key(PyObject* tp) { return checked(rt::Returns::kStr, rt::call_global(kTypeKeyClass, tp)); }

// resolve_generic_arg(tp, **dict(zip(keywords, values)))
template <typename... Values>
Ref resolve_generic_arg(PyObject* tp, PyObject* keywords, Values... values) {
  Ref fn = kResolveGenericArg.get();
  PyObject* args[] = {tp, values...};
  return fn ? Ref::steal(PyObject_Vectorcall(fn, args, 1, keywords)) : nullptr;
}

// from_defaults(data=data, alias=alias) through `parse`, the module's
// `from_defaults` binding as the caller looked it up.
inline Ref parse_with(PyObject* parse, PyObject* data, PyObject* alias) {
  return parse_call::from_defaults(parse, data, alias);
}

inline Ref parse(PyObject* data, PyObject* alias) {
  Ref fn = kFromDefaults.get();
  return fn ? parse_with(fn, data, alias) : nullptr;
}

// build_field(value_type=value_type, name=name, metadata=metadata), with
// `metadata` made for this call only.
inline Ref build_child_field(PyObject* value_type, PyObject* name, PyObject* metadata) {
  Ref fn = kBuildField.get();
  if (!fn) return nullptr;
  bool taken = false;
  Ref field = content_fields::build_handed_over(fn, name, value_type, metadata, taken);
  if (taken) return field;
  PyObject* args[] = {value_type, name, metadata};
  return Ref::steal(PyObject_Vectorcall(fn, args, 0, build_field_keywords));
}

// `data.get(key)`: read straight from an exact dict; a subclass's own `get` is
// called, as it may answer otherwise.
inline Ref get_entry(PyObject* data, PyObject* key) {
  if (!PyDict_CheckExact(data)) return Ref::steal(PyObject_CallMethodOneArg(data, kGet, key));
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(data, key, &value) < 0) return nullptr;
  return value ? Ref::steal(value) : Ref::borrow(Py_None);
}

// --- the type argument -------------------------------------------------------

// `get_origin(tp) or tp`
inline Ref origin_or_self(PyObject* tp) {
  Ref origin = rt::typing_origin(kGetOrigin, tp);
  if (!origin) return nullptr;
  int truthy = PyObject_IsTrue(origin);
  if (truthy < 0) return nullptr;
  return truthy ? origin : Ref::borrow(tp);
}

// `getattr(cls, "__origin__", None)` when that is a class, else cls itself.
inline Ref origin_class(PyObject* cls) {
  PyObject* origin = nullptr;
  if (rt::optional_attr(cls, kDunderOrigin, &origin) < 0) return nullptr;
  Ref owned = Ref::steal(origin);
  return origin != nullptr && PyType_Check(origin) ? owned : Ref::borrow(cls);
}

// The first type argument of `alias` (None when it has none), once the alias
// is known to address `cls`: a subclass of the origin of cls.
inline Ref contained_arg(PyObject* cls, PyObject* alias) {
  Ref origin = origin_or_self(alias);
  Ref origin_cls = origin ? origin_class(cls) : nullptr;
  if (!origin_cls) return nullptr;
  int addresses = PyType_Check(origin.get()) ? rt::is_subclass(origin, origin_cls) : 0;
  if (addresses <= 0) return addresses < 0 ? nullptr : raise_about(kTypeResolutionError, cls, "Alias must be a %U.");
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return zero ? resolve_generic_arg(alias, kOfIndexDefaultKeywords, origin_cls.get(), zero.get(), Py_None) : nullptr;
}

// require_valid_config_type(tp), its refusal reported as a type argument of
// `cls` that is not configurable.
inline Ref require_config_type(PyObject* cls, PyObject* tp) {
  Ref valid = rt::call_global(kRequireValidConfigType, tp);
  if (valid || rt::pending_is(kQuorvelError) <= 0) return valid;
  return raise_about_caught(kTypeResolutionError, cls, "%U parameter must be PrimitiveType or BaseConfigurableData: %S");
}

inline Ref contained_type(PyObject* cls, PyObject* alias) {
  Ref arg = contained_arg(cls, alias);
  if (!arg) return nullptr;
  if (arg.get() == Py_None) return raise_not_parametrised(cls);
  return require_config_type(cls, arg);
}

// super().__class_getitem__(item): the cached parametrised class of
// GenericWithArgs.
inline PyObject* parametrised(rt::Function* fn, PyObject* cls, PyObject* item) {
  Ref base = rt::super_attr(fn->owner, cls, kDunderClassGetitem);
  return base ? PyObject_CallOneArg(base, item) : nullptr;
}

// --- field building ----------------------------------------------------------

// The first steps of every build_field_for_type: the caller's metadata
// copied (it must not set the default itself), the field name and the alias.
struct FieldStart {
  Ref metadata;
  Ref name;
  Ref type_specification;
};

enum class Order { kNameFirst, kAliasFirst };

inline Ref copied_metadata(PyObject* metadata) {
  Ref copy = content_fields::copy_metadata(metadata);
  return copy && content_fields::refuse_given_default(copy) ? copy : nullptr;
}

// `name or type_key_class(cls)`, a key of None let through.
inline Ref field_name(PyObject* cls, PyObject* name) {
  return content_fields::name_or_type_key(cls, name, content_fields::KeyCheck::kTextOrNone);
}

// `cls.typing_alias()` when no alias was given.
inline Ref field_alias(PyObject* cls, PyObject* type_specification) {
  if (type_specification != Py_None) return Ref::borrow(type_specification);
  return Ref::steal(PyObject_CallMethodNoArgs(cls, kTypingAlias));
}

// `args` are those of build_field_for_type: cls, value, type_specification,
// name, metadata. The union settles its alias before its name.
inline bool start_field(PyObject* const* args, Order order, FieldStart& start) {
  PyObject* cls = args[0];
  start.metadata = copied_metadata(args[4]);
  if (!start.metadata) return false;
  if (order == Order::kNameFirst) {
    start.name = field_name(cls, args[3]);
    start.type_specification = start.name ? field_alias(cls, args[2]) : nullptr;
    return static_cast<bool>(start.type_specification);
  }
  start.type_specification = field_alias(cls, args[2]);
  start.name = start.type_specification ? field_name(cls, args[3]) : nullptr;
  return static_cast<bool>(start.name);
}

// `metadata.pop(key, None) or {}`: the caller's metadata for the child field
// under `key`, which must be a dict (subclasses accepted). Not yet copied.
inline Ref pop_child_metadata(PyObject* cls, PyObject* metadata, PyObject* key) {
  PyObject* entry = nullptr;
  if (PyDict_Pop(metadata, key, &entry) < 0) return nullptr;
  Ref owned = Ref::steal(entry);
  if (entry == nullptr || entry == Py_None) return Ref::steal(PyDict_New());
  if (PyDict_Check(entry)) return owned;
  return raise_about(kMetadataError, cls, "Field metadata for %U.%S must be a dict, got %R.", key,
                     reinterpret_cast<PyObject*>(Py_TYPE(entry)));
}

// `dict(mapping)`
inline Ref copy_dict(PyObject* mapping) {
  Ref copy = Ref::steal(PyDict_New());
  return copy && PyDict_Merge(copy, mapping, 1) == 0 ? copy : nullptr;
}

// A copy of the caller's metadata for the child field under `key` (see
// pop_child_metadata), which may not bring a default: the kind sets it. One
// that does is refused by `refuse()`, which raises and answers nullptr.
template <typename Refuse>
Ref child_metadata_copy(PyObject* cls, PyObject* metadata, PyObject* key, Refuse refuse) {
  Ref raw = pop_child_metadata(cls, metadata, key);
  int ambiguous = raw ? PySequence_Contains(raw, kDefault) : -1;
  if (ambiguous != 0) return ambiguous < 0 ? nullptr : refuse();
  return copy_dict(raw);
}

// Child fields are shown without a label unless the metadata brings one.
inline bool default_display_name(PyObject* metadata) {
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  return empty && PyDict_SetDefaultRef(metadata, kDisplayName, empty, nullptr) >= 0;
}

// [build_field(value_type=inner_type, name="content", metadata=metadata)]
inline Ref inner_fields(PyObject* inner_type, PyObject* metadata) {
  Ref field = build_child_field(inner_type, kContent, metadata);
  Ref fields = field ? Ref::steal(PyList_New(1)) : nullptr;
  if (fields) PyList_SET_ITEM(fields.get(), 0, field.release());
  return fields;
}

// metadata["fields"] = fields; metadata["default"] = default_value
inline bool set_children(PyObject* metadata, PyObject* fields, PyObject* default_value) {
  return PyDict_SetItem(metadata, kFields, fields) == 0 && PyDict_SetItem(metadata, kDefault, default_value) == 0;
}

// The child fields of a list or optional field and the field's default, as
// the kind makes them; a missing one means the kind failed.
struct Children {
  Ref fields;
  Ref default_value;
};

// build_field_for_type of the list and optional kinds, for `args` (cls,
// value, type_specification, name, metadata): the field started, its one
// type argument settled (`cls._contained_type(type_specification)`), then
// `make_children(metadata, inner_type)` and the field of `field_kind`.
template <typename MakeChildren>
PyObject* build_inner_field(PyObject* const* args, const rt::Global& field_kind, MakeChildren make_children) {
  rt::RecursionGuard guard(" while building fields");
  if (!guard) return nullptr;
  FieldStart start;
  if (!start_field(args, Order::kNameFirst, start)) return nullptr;
  Ref inner_type = Ref::steal(PyObject_CallMethodOneArg(args[0], kContainedType, start.type_specification));
  if (!inner_type) return nullptr;
  Children children = make_children(start.metadata.get(), inner_type.get());
  if (!children.fields || !children.default_value ||
      !set_children(start.metadata, children.fields, children.default_value)) {
    return nullptr;
  }
  return content_fields::instantiate(field_kind, start.name, start.metadata);
}

// --- methods and declarations ------------------------------------------------

inline PyObject* contained_type_method(rt::Function*, PyObject* const* args) {
  return contained_type(args[0], args[1]).release();
}

// __class_getitem__ of the list and optional kinds: the argument (or its
// origin, for a parametrised alias) must be configurable.
inline PyObject* checked_class_getitem(rt::Function* fn, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* item = args[1];
  Ref origin = origin_or_self(item);
  Ref valid = origin ? rt::call_global(kRequireValidConfigType, origin) : nullptr;
  if (valid) return parametrised(fn, cls, item);
  if (!origin || rt::pending_is(kQuorvelError) <= 0) return nullptr;
  return raise_about_caught(kTypeResolutionError, cls, "%U cannot contain non configurable types %R %S.", item);
}

using rt::Default;
using rt::Kind;

inline constexpr const char* kNestedDefaultsDoc = "Create a nested default dictionary for representation in UI.";
inline constexpr const char* kFromDefaultsDoc =
    "Create an instance from UI defaults data.\n\n"
    "        Raises:\n"
    "            QuorvelError: If the input cannot be parsed for this type.\n"
    "        ";
inline constexpr const char* kClassGetitemDoc =
    "Validate generic argument at alias creation time.\n\n"
    "        This explicitly disallows Annotated for now.\n"
    "        ";

inline constexpr rt::Param kSelfParams[] = {{"self"}};
inline constexpr rt::Param kContainedTypeParams[] = {{"cls"}, {"alias", "WrapperAlias"}};
inline constexpr rt::Param kClassGetitemParams[] = {{"cls"}, {"item", "Any"}};

// _contained_type of the list and optional kinds, `doc` naming the kind.
constexpr rt::FunctionSpec contained_type_spec(const char* doc) {
  return {"_contained_type", doc, contained_type_method, kContainedTypeParams, "ConfigType"};
}

inline const rt::FunctionSpec kCheckedClassGetitem = {"__class_getitem__", kClassGetitemDoc, checked_class_getitem,
                                                      kClassGetitemParams, "Any"};

// --- module set-up -----------------------------------------------------------

// `<name> = TypeVar("<name>", bound=ConfigValue)`
inline bool add_type_var(PyObject* module, const char* name) {
  Ref bound = Ref::steal(PyObject_GetAttrString(module, "ConfigValue"));
  return bound && rt::add_object(module, name, rt::make_type_var(module, name, bound));
}

// (GenericWithArgs, middle, BaseConfigurableData)
inline Ref generic_bases(PyObject* middle) {
  Ref generic = middle ? kGenericWithArgs.get() : nullptr;
  Ref content = generic ? kBaseConfigurableData.get() : nullptr;
  return content ? rt::tuple_of(generic.get(), middle, content.get()) : nullptr;
}

// `Generic[<type variable>]`
inline Ref generic_of(PyObject* module, const char* type_var) {
  Ref generic = Ref::steal(PyObject_GetAttrString(module, "Generic"));
  Ref var = generic ? Ref::steal(PyObject_GetAttrString(module, type_var)) : nullptr;
  return var ? Ref::steal(PyObject_GetItem(generic, var)) : nullptr;
}

// `dataclass(cls)`, applied after the class body as a decorator would be.
inline PyObject* as_dataclass(PyObject* module, Ref cls) {
  Ref dataclass = cls ? Ref::steal(PyObject_GetAttrString(module, "dataclass")) : nullptr;
  return dataclass ? PyObject_CallOneArg(dataclass, cls) : nullptr;
}

}  // namespace quorvel::generic_content
