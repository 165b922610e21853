// The typed parse dispatcher: UI defaults data becomes typed values for any supported annotation.
#include "content_glue.hpp"
#include "enum_members.hpp"
#include "module_api.hpp"
#include "record_fields.hpp"
#include "runtime.hpp"
#include "value_text.hpp"

namespace quorvel {
namespace {

rt::Name kFromDefaults("from_defaults");
rt::Name kContent("content");

rt::Global kWarn("warn");
rt::Global kAny("Any");
rt::Global kPrimitiveArgs("PrimitiveArgs");
rt::Global kParseError("QuorvelParseError");
rt::Global kUserError("QuorvelUserError");
rt::Global kGetImplementation("get_implementation");
rt::Global kResolveGenericArg("resolve_generic_arg");

// Substrings that make a string annotation unusable: generics cannot be recovered from text.
constexpr const char* kStringAnnotationTokens[] = {"[", "]", "|", "Union", "Optional", "list", "dict[", "tuple"};

rt::Keywords alias_keywords({"alias"});            // from_defaults(data, alias=)
rt::Keywords stacklevel_keywords({"stacklevel"});  // warn(message, category, stacklevel=)
rt::Keywords index_keywords({"index"});            // resolve_generic_arg(tp, index=)

// The content kinds. Their modules import this one when they load, so they
// are imported here inside each call (only the first import does any work);
// each class is read from its module when a branch needs it.
struct KindModule {
  const char* module;
  rt::Name& name;
  PyObject* imported = nullptr;  // kept after the first successful import
};

rt::Name kConfigList("ConfigList");
rt::Name kConfigOptional("ConfigOptional");
rt::Name kConfigUnion("ConfigUnion");
rt::Name kConfigUntypedDict("ConfigUntypedDict");

KindModule kind_modules[] = {
    {"nimbrel.quorvel.data.list_content", kConfigList},
    {"nimbrel.quorvel.data.optional_content", kConfigOptional},
    {"nimbrel.quorvel.data.union_content", kConfigUnion},
    {"nimbrel.quorvel.data.json_content", kConfigUntypedDict},
};

enum class Kind { kList, kOptional, kUnion, kUntypedDict };

bool import_content_kinds() {
  for (KindModule& kind : kind_modules) {
    if (kind.imported == nullptr && !(kind.imported = PyImport_ImportModule(kind.module))) return false;
  }
  return true;
}

Ref content_kind(Kind kind) {
  KindModule& module = kind_modules[static_cast<int>(kind)];
  return Ref::steal(PyObject_GetAttr(module.imported, module.name));
}

// --- small helpers ---------------------------------------------------------------

// issubclass(cls, <module global>) for a class; 0 for anything else.
int class_derives(PyObject* cls, const rt::Global& base) {
  return PyType_Check(cls) ? is_subclass_of(cls, base) : 0;
}

// warn(message, category, stacklevel=1). Level 1 is the Python code calling
// us: this C function has no frame of its own, so it names the caller's line
// just as level 2 does from inside a Python function.
bool warn(PyObject* message, PyObject* category) {
  Ref warn_fn = kWarn.get();
  Ref level = warn_fn ? Ref::steal(PyLong_FromLong(1)) : nullptr;
  if (!level) return false;
  PyObject* args[] = {message, category, level.get()};
  return static_cast<bool>(Ref::steal(PyObject_Vectorcall(warn_fn, args, 2, stacklevel_keywords)));
}

// target.from_defaults(data=data, alias=alias); a failure that a field of the
// class hiding the method explains is reported as that.
Ref call_from_defaults(PyObject* target, PyObject* data, PyObject* alias) {
  PyObject* args[] = {target, data, alias};
  Ref parsed = Ref::steal(PyObject_VectorcallMethod(kFromDefaults, args, 1, kDataAliasKeywords));
  if (!parsed && PyType_Check(target)) record_fields::explain_failure(target);
  return parsed;
}

// A library error passes unchanged; any other Exception becomes a parse
// error naming what was parsed, caused by it. The display text of the alias
// comes from `shown()`, asked for only when the error is wrapped.
template <typename Shown>
PyObject* wrap_foreign_error(Shown shown, PyObject* data) {
  if (rt::pending_is(kQuorvelError) != 0 || !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  return rt::reraise(kParseError, true, [&](PyObject*) -> Ref {
    Ref text = shown();
    return text ? Ref::steal(PyUnicode_FromFormat("Failed to parse %U from %R.", text.get(),
                                                  reinterpret_cast<PyObject*>(Py_TYPE(data))))
                : nullptr;
  });
}

// Guarded delegation with `shown` as the display text of the alias.
PyObject* guarded_from_defaults(PyObject* target, PyObject* data, PyObject* alias, PyObject* shown) {
  Ref parsed = call_from_defaults(target, data, alias);
  return parsed ? parsed.release() : wrap_foreign_error([shown] { return Ref::borrow(shown); }, data);
}

// Guarded delegation of a call already made: its result, or its failure
// shown with display_class_name(displayed). The message names the type of
// the data the dispatcher was given (`reported`), which for optionals
// differs from the wrapper handed on.
PyObject* guard_result(Ref parsed, PyObject* displayed, PyObject* reported) {
  if (parsed) return parsed.release();
  return wrap_foreign_error([displayed] { return rt::call_global(kDisplayClassName, displayed); }, reported);
}

// The guard other modules apply to record parses they make directly.
PyObject* guard_parsed(PyObject* parsed, PyObject* alias, PyObject* data) {
  return guard_result(Ref::steal(parsed), alias, data);
}

const module_api::Parse kApi = {guard_parsed};

PyObject* guarded_with_display(PyObject* target, PyObject* data, PyObject* alias, PyObject* displayed,
                               PyObject* reported) {
  return guard_result(call_from_defaults(target, data, alias), displayed, reported);
}

PyObject* dispatch(PyObject* alias, PyObject* data);

// Locates the pending error at position `index` of the data.
std::nullptr_t item_failed(Py_ssize_t index) {
  Ref position = Ref::steal(PyLong_FromSsize_t(index));
  return position ? rt::locate(kQuorvelError, {position.get()}) : nullptr;
}

// --- string annotations --------------------------------------------------------

PyObject* parse_string_alias(PyObject* alias, PyObject* data) {
  Ref message = Ref::steal(
      PyUnicode_FromFormat("Passing string type annotations into from_defaults is deprecated, got %R", alias));
  if (!message || !warn(message, PyExc_DeprecationWarning)) return nullptr;
  for (const char* token : kStringAnnotationTokens) {
    Ref text = Ref::steal(PyUnicode_FromString(token));
    int found = text ? PySequence_Contains(alias, text) : -1;
    if (found < 0) return nullptr;
    if (found) {
      return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("String annotation %R is not supported here because "
                                                              "generics cannot be recovered.",
                                                              alias));
    }
  }
  Ref key = rt::call_global(kTypeKeyClass, alias);
  Ref lookup = key ? kGetImplementation.get() : nullptr;
  Ref base = lookup ? kBaseConfigurableData.get() : nullptr;
  Ref cls = base ? Ref::steal(PyObject_CallFunctionObjArgs(lookup, base.get(), key.get(), nullptr)) : nullptr;
  return cls ? guarded_from_defaults(cls, data, cls, alias) : nullptr;
}

// --- unions ----------------------------------------------------------------------

PyObject* expect_exact_dict(PyObject* data) {
  if (PyDict_CheckExact(data)) return data;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data)->tp_name);
  return nullptr;
}

// The data of an optional value in its wrapper shape {"default": ..., "content": ...}.
Ref optional_wrapper(PyObject* data) {
  if (data == Py_None) {
    Ref wrapper = Ref::steal(PyDict_New());
    if (!wrapper || PyDict_SetItem(wrapper, kDefault, Py_False) < 0) return nullptr;
    return wrapper;
  }
  int has_default = PyDict_Check(data) ? PySequence_Contains(data, kDefault) : 0;
  if (has_default < 0) return nullptr;
  if (has_default) return Ref::borrow(expect_exact_dict(data));
  Ref wrapper = Ref::steal(PyDict_New());
  if (!wrapper || PyDict_SetItem(wrapper, kDefault, Py_True) < 0 || PyDict_SetItem(wrapper, kContent, data) < 0) {
    return nullptr;
  }
  return wrapper;
}

// The members other than NoneType, combined left to right with `|`, and
// how many there are. Raises "Union has no args." when there are none.
Ref union_without_none(PyObject* args, Py_ssize_t& kept, bool& optional) {
  // A private tuple: the members stay alive whatever their `|` does.
  Ref members = Ref::steal(PySequence_Tuple(args));
  if (!members) return nullptr;
  Ref combined;
  Py_ssize_t count = PyTuple_GET_SIZE(members.get());
  kept = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* member = PyTuple_GET_ITEM(members.get(), i);
    if (member == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) continue;
    ++kept;
    combined = combined ? Ref::steal(PyNumber_Or(combined, member)) : Ref::borrow(member);
    if (!combined) return nullptr;
  }
  optional = kept != count;
  if (kept == 0) rt::raise_global(kQuorvelError, PyUnicode_FromString("Union has no args."));
  return combined;
}

PyObject* parse_plain_union(PyObject* inner, PyObject* data) {
  Ref union_class = content_kind(Kind::kUnion);
  Ref alias = union_class ? Ref::steal(PyObject_GetItem(union_class, inner)) : nullptr;
  if (!alias) return nullptr;
  if (!PyDict_Check(data)) return rt::raise_global(kUserError, PyUnicode_FromString("Data for ConfigUnion has to be a dict."));
  if (!expect_exact_dict(data)) return nullptr;
  return guarded_with_display(union_class, data, alias, alias, data);
}

// ConfigOptional[T] for one member, ConfigOptional[ConfigUnion[...]] for several.
PyObject* parse_optional_union(PyObject* inner, Py_ssize_t members, PyObject* data) {
  Ref optional_class = content_kind(Kind::kOptional);
  Ref union_class = optional_class ? content_kind(Kind::kUnion) : nullptr;
  if (!union_class) return nullptr;
  Ref wrapped = members == 1 ? Ref::borrow(inner) : Ref::steal(PyObject_GetItem(union_class, inner));
  Ref alias = wrapped ? Ref::steal(PyObject_GetItem(optional_class, wrapped)) : nullptr;
  Ref used_data = alias ? optional_wrapper(data) : nullptr;
  if (!used_data) return nullptr;
  PyObject* parsed = guarded_with_display(optional_class, used_data, alias, alias, data);
  // The data given was the content itself: the wrapper made for it here is
  // not part of where a failure is.
  if (parsed == nullptr && used_data.get() != data) return rt::drop_leading_step(kQuorvelError, kContent);
  return parsed;
}

PyObject* parse_union(PyObject* alias, PyObject* data) {
  Ref args = rt::call_global(kGetArgs, alias);
  if (!args) return nullptr;
  Py_ssize_t members = 0;
  bool optional = false;
  Ref inner = union_without_none(args, members, optional);
  if (!inner) return nullptr;
  return optional ? parse_optional_union(inner, members, data) : parse_plain_union(inner, data);
}

// --- built-in containers ---------------------------------------------------------

PyObject* none_is_not_valid(PyObject* alias) {
  return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("None is not valid for %R. Use ConfigOptional[...] if the "
                                                          "value is optional.",
                                                          alias));
}

PyObject* expected_data(const char* kind, PyObject* alias, PyObject* data) {
  return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Expected %s data for %R, got %R.", kind, alias,
                                                          reinterpret_cast<PyObject*>(Py_TYPE(data))));
}

// resolve_generic_arg(alias, index=index[, of=of, default=None])
Ref generic_arg(PyObject* alias, long index, PyObject* of) {
  Ref resolve = kResolveGenericArg.get();
  Ref position = resolve ? Ref::steal(PyLong_FromLong(index)) : nullptr;
  if (!position) return nullptr;
  if (of == nullptr) {
    PyObject* args[] = {alias, position.get()};
    return Ref::steal(PyObject_Vectorcall(resolve, args, 1, index_keywords));
  }
  PyObject* args[] = {alias, of, position.get(), Py_None};
  return Ref::steal(PyObject_Vectorcall(resolve, args, 1, kOfIndexDefaultKeywords));
}

// type(obj).__name__ == "TypeVar"
int is_type_var(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  return name ? PyUnicode_CompareWithASCIIString(name, "TypeVar") == 0 : -1;
}

PyObject* parse_list(PyObject* alias, PyObject* data) {
  Ref message = Ref::steal(PyUnicode_FromString("Passing list[...] is discouraged. Please use ConfigList[...] in the future!"));
  if (!message || !warn(message, PyExc_UserWarning)) return nullptr;
  if (data == Py_None) return none_is_not_valid(alias);
  if (!PyList_Check(data)) return expected_data("list", alias, data);
  Ref inner = generic_arg(alias, 0, reinterpret_cast<PyObject*>(&PyList_Type));
  if (!inner) return nullptr;
  int type_var = inner.get() == Py_None ? 1 : is_type_var(inner);
  if (type_var < 0) return nullptr;
  if (type_var) {
    return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Unsupported list alias %R. Please use ConfigList[T].", alias));
  }
  Ref list_class = content_kind(Kind::kList);
  Ref list_alias = list_class ? Ref::steal(PyObject_GetItem(list_class, inner)) : nullptr;
  if (!list_alias) return nullptr;
  // The data goes positionally here, the alias by keyword.
  PyObject* args[] = {list_alias.get(), data, list_alias.get()};
  return guard_result(Ref::steal(PyObject_VectorcallMethod(kFromDefaults, args, 2, alias_keywords)), alias, data);
}

// from_defaults(data=item, alias=alias) for every item, as a new tuple; a
// failure is located at the item's position.
PyObject* parse_items(PyObject* items, PyObject* const* aliases, bool one_alias) {
  Py_ssize_t count = PyTuple_GET_SIZE(items);
  Ref parsed = Ref::steal(PyTuple_New(count));
  if (!parsed) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = dispatch(one_alias ? aliases[0] : aliases[i], PyTuple_GET_ITEM(items, i));
    if (item == nullptr) return item_failed(i);
    PyTuple_SET_ITEM(parsed.get(), i, item);
  }
  return parsed.release();
}

// The items of tuple data. A list stands for a tuple too, as JSON has no
// tuples: it is copied first, so parsing its items cannot change it under us.
Ref tuple_items(PyObject* data) {
  return PyTuple_Check(data) ? Ref::borrow(data) : Ref::steal(PyList_AsTuple(data));
}

PyObject* parse_tuple(PyObject* alias, PyObject* data) {
  if (data == Py_None) return none_is_not_valid(alias);
  if (!PyTuple_Check(data) && !PyList_Check(data)) return expected_data("tuple", alias, data);
  Ref args = rt::call_global(kGetArgs, alias);
  Ref members = args ? Ref::steal(PySequence_Tuple(args)) : nullptr;
  if (!members) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(members.get());
  int has_ellipsis = PySequence_Contains(members, Py_Ellipsis);
  if (has_ellipsis < 0) return nullptr;
  bool variadic = count == 2 && PyTuple_GET_ITEM(members.get(), 1) == Py_Ellipsis;
  if (has_ellipsis && !variadic) {
    return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Ellipsis argument is only allowed in conjunction with a "
                                                            "simple type (f.i. tuple[int, ...]). Found %R .",
                                                            args.get()));
  }
  Ref items = tuple_items(data);
  if (!items) return nullptr;
  Py_ssize_t length = PyTuple_GET_SIZE(items.get());
  if (!has_ellipsis && count != length) {
    return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Expected tuple of length %zd for %R, got length %zd.",
                                                            count, alias, length));
  }
  if (count == 0) return PyTuple_New(0);
  PyObject* const* aliases = &PyTuple_GET_ITEM(members.get(), 0);
  return parse_items(items, aliases, variadic || count == 1);
}

// Keys must be JSON-like and stable: primitives or enumerations.
int is_key_type(PyObject* alias_k) {
  Ref primitives = kPrimitiveArgs.get();
  int primitive = primitives ? rt::tuple_contains(primitives, alias_k) : -1;
  if (primitive != 0) return primitive;
  return class_derives(alias_k, kEnum);
}

// One entry of an items() list as `for key, value in ...` unpacks it. A dict
// subclass's items() may hand back its own list of anything, which parsing
// the keys could change under us, so the pair is owned.
Ref unpacked_pair(PyObject* item) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) return Ref::borrow(item);
  if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    return nullptr;
  }
  Ref pair = Ref::steal(PySequence_Tuple(item));
  if (!pair || PyTuple_GET_SIZE(pair.get()) == 2) return pair;
  PyErr_Format(PyExc_ValueError, PyTuple_GET_SIZE(pair.get()) > 2 ? "too many values to unpack (expected 2, got %zd)"
                                                                   : "not enough values to unpack (expected 2, got %zd)",
               PyTuple_GET_SIZE(pair.get()));
  return nullptr;
}

// JSON writes the keys of a dict[int, V] as text: a text key that is exactly
// the decimal text of an int stands for that int. Any other key stays as it is.
Ref int_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return Ref::borrow(key);
  Ref number = Ref::steal(PyLong_FromUnicodeObject(key, 10));
  if (!number) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyErr_Clear();
    return Ref::borrow(key);
  }
  Ref text = Ref::steal(PyObject_Str(number));
  int same = text ? PyUnicode_Compare(text, key) : -1;
  if (same == -1 && PyErr_Occurred()) return nullptr;
  return same == 0 ? number : Ref::borrow(key);
}

PyObject* parse_dict_items(PyObject* alias_k, PyObject* alias_v, PyObject* data) {
  // Values typed Any (a free JSON object such as dict[str, Any]) are taken
  // as they are: there is nothing to parse them against.
  Ref any = kAny.get();
  Ref result = any ? Ref::steal(PyDict_New()) : nullptr;
  Ref items = result ? Ref::steal(PyMapping_Items(data)) : nullptr;
  if (!items) return nullptr;
  bool untyped_values = alias_v == any.get();
  bool int_keys = alias_k == reinterpret_cast<PyObject*>(&PyLong_Type);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    Ref pair = unpacked_pair(PyList_GET_ITEM(items.get(), i));
    if (!pair) return nullptr;
    PyObject* raw_key = PyTuple_GET_ITEM(pair.get(), 0);
    Ref key_data = int_keys ? int_key(raw_key) : Ref::borrow(raw_key);
    Ref key = key_data ? Ref::steal(dispatch(alias_k, key_data)) : nullptr;
    PyObject* raw = PyTuple_GET_ITEM(pair.get(), 1);
    Ref value = !key ? nullptr : untyped_values ? Ref::borrow(raw) : Ref::steal(dispatch(alias_v, raw));
    if (!value) return rt::locate(kQuorvelError, {raw_key});
    if (PyDict_SetItem(result, key, value) < 0) return nullptr;
  }
  return result.release();
}

PyObject* parse_dict(PyObject* alias, PyObject* data) {
  Ref alias_k = generic_arg(alias, 0, nullptr);
  Ref alias_v = alias_k ? generic_arg(alias, 1, nullptr) : nullptr;
  if (!alias_v) return nullptr;
  if (alias_k.get() == Py_None || alias_v.get() == Py_None) {
    return rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Dict alias %R must be parametrised as dict[K, V].", alias));
  }
  int key_type = is_key_type(alias_k);
  if (key_type <= 0) {
    return key_type < 0 ? nullptr
                        : rt::raise_global(kQuorvelError, PyUnicode_FromString(
                                                          "Dict keys must be primitive types or Enum. Other "
                                                          "BaseConfigurableData keys are not supported because keys "
                                                          "must be stable and JSON-like."));
  }
  if (data == Py_None) {
    return rt::raise_global(kQuorvelError,
                        PyUnicode_FromFormat("Expected dict data for %R, got None. If optional, pass ConfigOptional[...] "
                                             "wrapper: {{\"default\": false}} or {{\"default\": true, \"content\": "
                                             "{{...}}}}.",
                                             alias));
  }
  if (!PyDict_Check(data)) return expected_data("dict", alias, data);
  return parse_dict_items(alias_k, alias_v, data);
}

PyObject* parse_container(PyObject* alias, PyObject* origin, PyObject* data, bool& handled) {
  handled = true;
  if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(origin), &PyList_Type)) return parse_list(alias, data);
  if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(origin), &PyTuple_Type)) return parse_tuple(alias, data);
  if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(origin), &PyDict_Type)) return parse_dict(alias, data);
  handled = false;
  return nullptr;
}

// --- the dispatcher ----------------------------------------------------------------

PyObject* parse_primitive(PyObject* data) {
  if (!PyDict_Check(data)) return Py_NewRef(data);
  Ref shown = value_text::repr(data);
  return shown ? rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Primitive values must be passed directly, not "
                                                                  "wrapped in dicts (got %U).",
                                                                  shown.get()))
               : nullptr;
}

int is_bare_container(PyObject* alias) {
  if (!PyType_Check(alias)) return 0;
  for (PyTypeObject* container : {&PyList_Type, &PyTuple_Type}) {
    int same = rt::equal(alias, reinterpret_cast<PyObject*>(container));
    if (same != 0) return same;
  }
  return 0;
}

// Annotations without a typing origin: dict, primitives, content classes.
PyObject* dispatch_plain(PyObject* alias, PyObject* data) {
  if (alias == reinterpret_cast<PyObject*>(&PyDict_Type)) {
    Ref untyped_dict = content_kind(Kind::kUntypedDict);
    return untyped_dict ? call_from_defaults(untyped_dict, data, untyped_dict).release() : nullptr;
  }
  Ref primitives = kPrimitiveArgs.get();
  int primitive = primitives ? rt::tuple_contains(primitives, alias) : -1;
  if (primitive != 0) return primitive < 0 ? nullptr : parse_primitive(data);
  int content = class_derives(alias, kBaseConfigurableData);
  if (content != 0) return content < 0 ? nullptr : guarded_with_display(alias, data, alias, alias, data);
  // A plain Enum (not a content enumeration) is read the way enumeration
  // content reads its members, so such fields and dict keys parse too.
  int enumeration = class_derives(alias, kEnum);
  if (enumeration != 0) {
    return enumeration < 0 ? nullptr : enum_members::find(alias, data);
  }
  return rt::raise_global(kTypeResolutionError, PyUnicode_FromFormat("Unsupported alias %R for data of type %R.", alias,
                                                                 reinterpret_cast<PyObject*>(Py_TYPE(data))));
}

PyObject* dispatch_with_origin(PyObject* alias, PyObject* origin, PyObject* data) {
  int content = class_derives(origin, kBaseConfigurableData);
  if (content != 0) return content < 0 ? nullptr : guarded_with_display(origin, data, alias, alias, data);
  int union_origin = is_union(origin, {&kUnionType, &kUnion});
  if (union_origin != 0) return union_origin < 0 ? nullptr : parse_union(alias, data);
  if (PyType_Check(origin)) {
    bool handled = false;
    PyObject* parsed = parse_container(alias, origin, data, handled);
    if (handled) return parsed;
  }
  return rt::raise_global(kTypeResolutionError, PyUnicode_FromFormat("Unsupported origin %R for alias %R.", origin, alias));
}

PyObject* dispatch(PyObject* alias, PyObject* data) {
  rt::RecursionGuard guard(" while parsing");
  if (!guard) return nullptr;
  if (!import_content_kinds()) return nullptr;
  if (PyUnicode_Check(alias)) return parse_string_alias(alias, data);
  Ref origin = rt::typing_origin(kGetOrigin, alias);
  if (!origin) return nullptr;
  if (origin.get() == Py_None) {
    int bare = is_bare_container(alias);
    if (bare != 0) {
      return bare < 0 ? nullptr
                      : rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Bare container %R is not allowed in "
                                                                        "annotations. Use ConfigList[T] or tuple[...] "
                                                                        "as appropriate.",
                                                                        alias));
    }
    return dispatch_plain(alias, data);
  }
  return dispatch_with_origin(alias, origin, data);
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) { return dispatch(args[0], args[1]); }

// --- declarations --------------------------------------------------------------

constexpr rt::Param kFromDefaultsParams[] = {{"alias", "Type[Any] | AliasContainerType | str"}, {"data", "Any"}};

const rt::FunctionSpec kFromDefaultsSpec = {
    "from_defaults",
    "Create an instance from UI defaults data.\n\n"
    "Implementation note: the overloads describe common call shapes; the implementation\n"
    "performs run-time dispatch based on get_origin/get_args and on whether `alias` is a\n"
    "BaseConfigurableData subclass, a container typing alias, or a string.\n\n"
    "Raises:\n"
    "    QuorvelError: If the input cannot be parsed for this type.",
    from_defaults, kFromDefaultsParams, "Any"};

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{"types", "UnionType"},
                                 {"typing", "TYPE_CHECKING"},
                                 {"typing", "Any"},
                                 {"typing", "Type"},
                                 {"typing", "TypeVar"},
                                 {"typing", "Union"},
                                 {"typing", "cast"},
                                 {"typing", "get_args"},
                                 {"typing", "get_origin"},
                                 {"typing", "overload"},
                                 {"enum", "Enum"},
                                 {"typing_extensions", "TypeForm"},
                                 {"warnings", "warn"},
                                 {"nimbrel.quorvel.data.base", "PrimitiveArgs"},
                                 {"nimbrel.quorvel.data.content_core", "AliasContainerType"},
                                 {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
                                 {"nimbrel.quorvel.data.content_core", "ConfigValue"},
                                 {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelParseError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelUserError"},
                                 {"nimbrel.quorvel.core.naming", "display_class_name"},
                                 {"nimbrel.quorvel.typing.type_lookup", "get_implementation"},
                                 {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_arg"},
                                 {"nimbrel.quorvel.typing.type_lookup", "type_key_class"}})) {
    return false;
  }
  Ref config_value = Ref::steal(PyObject_GetAttrString(module, "ConfigValue"));
  if (!config_value || !record_fields::init_contract_check(module)) return false;
  struct TypeVarSpec {
    const char* name;
    bool bounded;
  };
  for (TypeVarSpec var : {TypeVarSpec{"CT", true}, {"K", false}, {"V", false}, {"CU", true}, {"CO", true}, {"L", true}}) {
    if (!rt::add_object(module, var.name, rt::make_type_var(module, var.name, var.bounded ? config_value.get() : nullptr))) {
      return false;
    }
  }
  return enum_members::init() && rt::add_function(module, kFromDefaultsSpec) &&
         module_api::export_api(module, module_api::kParseCapsule, kApi);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(parse, "The typed parse dispatcher: UI defaults data becomes typed values.", quorvel::exec_module)
