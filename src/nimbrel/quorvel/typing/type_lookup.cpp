// Type arguments of generic types, type keys, and finding subclasses by key.
#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kDunderMro("__mro__");
rt::Name kDunderOrigBases("__orig_bases__");
rt::Name kDunderSubclasses("__subclasses__");
rt::Name kTypeKey("type_key");
rt::Name kWarning("warning");

rt::Global kGetArgs("get_args");
rt::Global kGetOrigin("get_origin");
rt::Global kLogger("logger");
rt::Global kSupportsTypeKey("SupportsTypeKey");
rt::Global kImplementationError("QuorvelImplementationError");
rt::Global kUserError("QuorvelUserError");
rt::Global kIdentifierToTypeKey("python_identifier_to_type_key");

// `getattr(obj, name, None)` where only a missing attribute counts as absent.
Ref optional_attr(PyObject* obj, PyObject* name) {
  PyObject* value = nullptr;
  if (rt::optional_attr(obj, name, &value) < 0) return nullptr;
  return value ? Ref::steal(value) : Ref::borrow(Py_None);
}

// --- generic argument resolution ---------------------------------------------

// Arguments of the first parametrised base, along the MRO, whose origin is
// `of` (any origin when `of` is None); the empty tuple when there is none.
Ref inherited_args(PyObject* tp, PyObject* of) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(tp, kDunderMro, &found) < 0) return nullptr;
  Ref mro = found ? Ref::steal(found) : Ref::steal(PyTuple_Pack(1, tp));
  if (!mro) return nullptr;
  Ref classes = Ref::steal(PyObject_GetIter(mro));
  if (!classes) return nullptr;
  while (Ref cls = Ref::steal(PyIter_Next(classes))) {
    PyObject* bases_found = nullptr;
    if (rt::optional_attr(cls, kDunderOrigBases, &bases_found) < 0) return nullptr;
    if (bases_found == nullptr) continue;
    Ref bases = Ref::steal(PyObject_GetIter(Ref::steal(bases_found)));
    if (!bases) return nullptr;
    while (Ref base = Ref::steal(PyIter_Next(bases))) {
      Ref origin = rt::typing_origin(kGetOrigin, base);
      if (!origin) return nullptr;
      Ref args = rt::call_global(kGetArgs, base);
      if (!args) return nullptr;
      int has_args = PyObject_IsTrue(args);
      if (has_args < 0) return nullptr;
      if (has_args && (of == Py_None || origin.get() == of)) return args;
    }
    if (PyErr_Occurred()) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return Ref::steal(PyTuple_New(0));
}

Ref type_args(PyObject* tp, PyObject* of) {
  Ref origin = optional_attr(tp, kDunderOrigin);
  if (!origin) return nullptr;
  Ref stored = optional_attr(tp, kDunderTypeArgs);
  if (!stored) return nullptr;
  if (stored.get() != Py_None && (of == Py_None || origin.get() == of)) {
    return Ref::steal(rt::check_return(rt::Returns::kTuple, stored.release()));
  }
  Ref direct = rt::call_global(kGetArgs, tp);
  if (!direct) return nullptr;
  int has_direct = PyObject_IsTrue(direct);
  if (has_direct < 0) return nullptr;
  if (has_direct) {
    if (of == Py_None) return direct;
    Ref direct_origin = rt::typing_origin(kGetOrigin, tp);
    if (!direct_origin) return nullptr;
    if (direct_origin.get() == of) return direct;
  }
  return inherited_args(tp, of);
}

PyObject* type_args_of(rt::Function*, PyObject* const* args) { return type_args(args[0], args[1]).release(); }

// args[index] when len(args) > index, else `fallback`; negative indices read
// from the end, as the integer comparison lets them through.
PyObject* pick_arg(PyObject* args, PyObject* index, PyObject* fallback) {
  Py_ssize_t size = PyObject_Length(args);
  Ref length = size >= 0 ? Ref::steal(PyLong_FromSsize_t(size)) : nullptr;
  if (!length) return nullptr;
  int in_range = PyObject_RichCompareBool(length, index, Py_GT);
  if (in_range < 0) return nullptr;
  return in_range ? PyObject_GetItem(args, index) : Py_NewRef(fallback);
}

PyObject* resolve_generic_arg(rt::Function*, PyObject* const* args) {
  Ref resolved = type_args(args[0], args[3]);
  return resolved ? pick_arg(resolved, args[1], args[2]) : nullptr;
}

PyObject* resolve_generic_args(rt::Function*, PyObject* const* args) { return type_args(args[0], args[1]).release(); }

// --- type keys ---------------------------------------------------------------

PyObject* supports_type_key_type_key(rt::Function*, PyObject* const*) { Py_RETURN_NONE; }

Ref invalid_type_key_lookup(PyObject* tp) {
  rt::reraise(kImplementationError, false,
              [tp](PyObject*) { return Ref::steal(PyUnicode_FromFormat("Invalid type key lookup: %S", tp)); });
  return nullptr;
}

// SupportsTypeKey as created here, and abc's own subclass check.
PyObject* supports_type_key_class = nullptr;
PyObject* abc_subclasscheck = nullptr;

// issubclass(tp, protocol). For our own SupportsTypeKey (a runtime-checkable
// protocol with only a method member) the protocol metaclass ends in abc's
// check with no further condition, so that check is called directly and the
// Python-level frame of the metaclass is skipped.
int is_subclass_of_protocol(PyObject* tp, PyObject* protocol) {
  if (protocol != supports_type_key_class) return PyObject_IsSubclass(tp, protocol);
  Ref verdict = Ref::steal(PyObject_CallFunctionObjArgs(abc_subclasscheck, protocol, tp, nullptr));
  return verdict ? PyObject_IsTrue(verdict) : -1;
}

// The key a class supplies through its own `type_key` class method; None
// (without an error) when it has none.
Ref supplied_type_key(PyObject* tp, bool& supplied) {
  Ref protocol = kSupportsTypeKey.get();
  if (!protocol) return nullptr;
  int supports = is_subclass_of_protocol(tp, protocol);
  Ref key;
  if (supports > 0) {
    key = Ref::steal(rt::check_return(rt::Returns::kStr, PyObject_CallMethodNoArgs(tp, kTypeKey)));
  }
  if (supports < 0 || (supports > 0 && !key)) {
    return PyErr_ExceptionMatches(PyExc_TypeError) ? invalid_type_key_lookup(tp) : nullptr;
  }
  supplied = supports > 0;
  return supplied ? key : Ref::borrow(Py_None);
}

Ref key_of_class(PyObject* tp) {
  if (PyUnicode_Check(tp)) return Ref::borrow(tp);
  bool supplied = false;
  Ref key = supplied_type_key(tp, supplied);
  if (!key || supplied) return key;
  Ref name = Ref::steal(PyObject_GetAttr(tp, kDunderName));
  return name ? rt::call_global(kIdentifierToTypeKey, name) : nullptr;
}

PyObject* type_key_class(rt::Function*, PyObject* const* args) { return key_of_class(args[0]).release(); }

PyObject* type_key(rt::Function*, PyObject* const* args) {
  PyObject* bc = args[0];
  if (PyType_Check(bc)) {
    Ref text = Ref::steal(PyUnicode_FromFormat("The function type_key expects an instance, not a type %S.", bc));
    return rt::raise_global(kImplementationError, text.release());
  }
  return key_of_class(reinterpret_cast<PyObject*>(Py_TYPE(bc))).release();
}

// --- implementation lookup ---------------------------------------------------

// Every direct and indirect subclass, each once, walked breadth-first over a
// list that grows while it is read.
Ref all_subclasses(PyObject* super_class) {
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttr(super_class, kDunderSubclasses, &method) < 0) return nullptr;
  if (method == nullptr) return Ref::steal(PySet_New(nullptr));
  Ref found = Ref::steal(rt::check_return(rt::Returns::kList, PyObject_CallNoArgs(Ref::steal(method))));
  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!found || !seen) return nullptr;
  for (Py_ssize_t position = 0; position < PyList_GET_SIZE(found.get()); ++position) {
    Ref cls = Ref::borrow(PyList_GET_ITEM(found.get(), position));
    int known = PySet_Contains(seen, cls);
    if (known < 0) return nullptr;
    if (known) continue;
    if (PySet_Add(seen, cls) < 0) return nullptr;
    Ref children = Ref::steal(PyObject_CallMethodNoArgs(cls, kDunderSubclasses));
    if (!children) return nullptr;
    if (PyList_Extend(found, children) < 0) return nullptr;
  }
  return Ref::steal(PySet_New(found));
}

PyObject* subclasses(rt::Function*, PyObject* const* args) { return all_subclasses(args[0]).release(); }

Ref matching_implementations(PyObject* super_class, PyObject* name, PyObject* ignore_list) {
  Ref ignored = ignore_list == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(ignore_list);
  Ref descendants = all_subclasses(super_class);
  Ref matches = Ref::steal(PyList_New(0));
  if (!ignored || !descendants || !matches) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(descendants));
  if (!iterator) return nullptr;
  while (Ref cls = Ref::steal(PyIter_Next(iterator))) {
    int skip = PySequence_Contains(ignored, cls);
    if (skip < 0) return nullptr;
    if (skip) continue;
    if (name != Py_None) {
      Ref key = key_of_class(cls);
      if (!key) return nullptr;
      int equal = PyObject_RichCompareBool(key, name, Py_EQ);
      if (equal < 0) return nullptr;
      if (!equal) continue;
    }
    if (PyList_Append(matches, cls) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return matches;
}

PyObject* get_implementations(rt::Function*, PyObject* const* args) {
  return matching_implementations(args[0], args[1], args[2]).release();
}

// A base may name its own default implementation through a callable
// `default` attribute; results that are not subclasses of the base are ignored.
Ref class_default(PyObject* super_class) {
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttr(super_class, kDefault, &method) < 0) return nullptr;
  if (method == nullptr) return Ref::borrow(Py_None);
  Ref result = Ref::steal(PyObject_CallNoArgs(Ref::steal(method)));
  int usable = 0;
  if (result && result.get() != Py_None) usable = PyObject_IsSubclass(result, super_class);
  if (usable < 0 || !result) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyErr_Clear();
  }
  return usable > 0 ? result : Ref::borrow(Py_None);
}

Ref report_ambiguity(PyObject* super_class, PyObject* candidates, PyObject* name, bool continue_multiple) {
  Ref message = Ref::steal(PyUnicode_FromFormat("Name ambiguity for %S's subclasses: Multiple candidates %S for %S.",
                                                super_class, candidates, name));
  if (!message) return nullptr;
  if (!continue_multiple) return Ref::steal(rt::raise_global(kImplementationError, message.release()));
  Ref logger = kLogger.get();
  if (!logger) return nullptr;
  return Ref::steal(PyObject_CallMethodOneArg(logger, kWarning, message));
}

PyObject* get_implementation(rt::Function*, PyObject* const* args) {
  PyObject* super_class = args[0];
  PyObject* name = args[1];
  PyObject* fallback = args[2];
  Ref candidates = matching_implementations(super_class, name, args[3]);
  if (!candidates) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(candidates.get());
  if (count > 1 && !report_ambiguity(super_class, candidates, name, args[4] == Py_True)) return nullptr;
  if (count > 0) return Py_NewRef(PyList_GET_ITEM(candidates.get(), 0));
  if (fallback != Py_None) return Py_NewRef(fallback);
  Ref from_class = class_default(super_class);
  if (!from_class) return nullptr;
  if (from_class.get() != Py_None) return from_class.release();
  Ref message = Ref::steal(PyUnicode_FromFormat("Class for %S not found.", name));
  return rt::raise_global(kUserError, message.release());
}

// --- declarations ------------------------------------------------------------

constexpr rt::Param kTypeArgsOfParams[] = {
    {"tp", "Any"}, {"of", "Any | None", rt::Kind::kKeywordOnly, rt::Default::none()}};
constexpr rt::Param kResolveArgParams[] = {
    {"tp", "Any"},
    {"index", "int", rt::Kind::kKeywordOnly, rt::Default::integer(0)},
    {"default", "Any", rt::Kind::kKeywordOnly, rt::Default::imported("typing", "Any")},
    {"of", "Any | None", rt::Kind::kKeywordOnly, rt::Default::none()}};
constexpr rt::Param kProtocolTypeKeyParams[] = {{"cls", "Type[_TSupports]"}};
constexpr rt::Param kTypeKeyParams[] = {{"bc", "BaseContent | object"}};
constexpr rt::Param kTypeKeyClassParams[] = {{"tp", "Type[Any] | str"}};
constexpr rt::Param kGetImplementationParams[] = {
    {"super_class", "Type[__get_implementation_type]"},
    {"sub_class_name", "str | None"},
    {"default", "Type[__get_implementation_type] | None", rt::Kind::kPositionalOrKeyword, rt::Default::none()},
    {"ignore_list", "list[Type[__get_implementation_type]] | None", rt::Kind::kPositionalOrKeyword,
     rt::Default::none()},
    {"continue_multiple", "bool", rt::Kind::kPositionalOrKeyword, rt::Default::boolean(false)}};
constexpr rt::Param kGetImplementationsParams[] = {
    {"super_class", "Type[__get_implementation_type]"},
    {"sub_class_name", "str | None", rt::Kind::kPositionalOrKeyword, rt::Default::none()},
    {"ignore_list", "list[Type[__get_implementation_type]] | None", rt::Kind::kPositionalOrKeyword,
     rt::Default::none()}};
constexpr rt::Param kSubclassesParams[] = {{"super_class", "Type[__subclasses_tv]"}};

const rt::FunctionSpec kTypeArgsOf = {
    "type_args_of",
    "Return type arguments for a typing alias or a subclass of a generic.\n\n"
    "If `of` is provided, prefer the arguments of the base whose origin is `of`;\n"
    "otherwise the first parameterised base found is used. Returns an empty tuple\n"
    "when there is none.",
    type_args_of, kTypeArgsOfParams, "tuple[Any, ...]"};
const rt::FunctionSpec kResolveGenericArg = {
    "resolve_generic_arg",
    "Resolve a single generic argument at `index` from `tp`.\n\n"
    "Works for both typing aliases and subclasses of generics; `of` targets a\n"
    "specific generic origin when `tp` has several.",
    resolve_generic_arg, kResolveArgParams, "Any"};
const rt::FunctionSpec kResolveGenericArgs = {
    "resolve_generic_args",
    "Resolve generic arguments.\n\n"
    "Works for both typing aliases and subclasses of generics; `of` targets a\n"
    "specific generic origin when `tp` has several.",
    resolve_generic_args, kTypeArgsOfParams, "tuple[Any, ...]"};
const rt::FunctionSpec kProtocolTypeKey = {"type_key",
                                           "Return the string identifier of the type, used for Union dispatch.",
                                           supports_type_key_type_key, kProtocolTypeKeyParams, "str"};
const rt::FunctionSpec kTypeKeySpec = {"type_key", "Return the type key for a non-class value.", type_key,
                                       kTypeKeyParams, "str"};
const rt::FunctionSpec kTypeKeyClass = {
    "type_key_class",
    "Return the type key of an arbitrary type.\n\n"
    "Uses the implementation of type_key if it is a base content, and a version of the type name otherwise.",
    type_key_class, kTypeKeyClassParams, "str"};
const rt::FunctionSpec kGetImplementation = {
    "get_implementation", "Return the subclass of #super_class that match the #sub_class_name.", get_implementation,
    kGetImplementationParams, "Type[__get_implementation_type]"};
const rt::FunctionSpec kGetImplementations = {
    "get_implementations",
    "Return list of subclasses of #super_class that match the #sub_class_name.\n\n"
    "Without naming ambiguity the list is empty when the subclass is not found and\n"
    "holds exactly one entry otherwise. Ambiguities arise when developers break the\n"
    "naming convention and provide two subclasses of the same base whose names differ\n"
    "only in camel case against snake case (both map to one key).",
    get_implementations, kGetImplementationsParams, "list[Type[__get_implementation_type]]"};
const rt::FunctionSpec kSubclasses = {
    "subclasses",
    "Iteratively gather all descendents (allowing for multiple levels of inheritance) of the provided #super_class.",
    subclasses, kSubclassesParams, "set[Type[__subclasses_tv]]"};

// @runtime_checkable class SupportsTypeKey(Protocol) with one class method.
PyObject* supports_type_key(PyObject* module) {
  Ref protocol = Ref::steal(PyObject_GetAttrString(module, "Protocol"));
  Ref runtime_checkable = Ref::steal(PyObject_GetAttrString(module, "runtime_checkable"));
  if (!protocol || !runtime_checkable) return nullptr;
  Ref bases = Ref::steal(PyTuple_Pack(1, protocol.get()));
  if (!bases) return nullptr;
  Ref cls = rt::ClassBuilder(module, "SupportsTypeKey", "Protocol for classes that support a type key classmethod.")
                .class_method(kProtocolTypeKey)
                .create(reinterpret_cast<PyObject*>(Py_TYPE(protocol.get())), bases);
  return cls ? PyObject_CallOneArg(runtime_checkable, cls) : nullptr;
}

bool bind_supports_type_key(PyObject* module) {
  Py_XSETREF(abc_subclasscheck, rt::import_from("_abc", "_abc_subclasscheck").release());
  Py_XSETREF(supports_type_key_class, supports_type_key(module));
  return abc_subclasscheck != nullptr && supports_type_key_class != nullptr &&
         rt::add_object(module, "SupportsTypeKey", Py_NewRef(supports_type_key_class));
}

bool bind_imports(PyObject* module) {
  return rt::bind_imports(module, {{"logging", "getLogger"},
                                   {"typing", "Any"},
                                   {"typing", "TypeVar"},
                                   {"typing", "cast"},
                                   {"typing", "get_args"},
                                   {"typing", "get_origin"},
                                   {"typing", "overload"},
                                   {"typing", "runtime_checkable"},
                                   {"typing", "Protocol"},
                                   {"typing", "Type"},
                                   {"typing_extensions", "Never"},
                                   {"nimbrel.quorvel.core.exceptions", "QuorvelImplementationError"},
                                   {"nimbrel.quorvel.core.exceptions", "QuorvelUserError"},
                                   {"nimbrel.quorvel.core.naming", "python_identifier_to_type_key"},
                                   {"nimbrel.quorvel.data.base", "BaseContent"}});
}

PyObject* module_logger(PyObject* module) {
  Ref get_logger = Ref::steal(PyObject_GetAttrString(module, "getLogger"));
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  return get_logger && name ? PyObject_CallOneArg(get_logger, name) : nullptr;
}

bool exec_module(PyObject* module) {
  Ref supports_name = Ref::steal(PyUnicode_FromString("SupportsTypeKey"));
  return supports_name && bind_imports(module) && rt::add_object(module, "logger", module_logger(module)) &&
         rt::add_function(module, kTypeArgsOf) && rt::add_function(module, kResolveGenericArg) &&
         rt::add_function(module, kResolveGenericArgs) &&
         rt::add_object(module, "_TSupports", rt::make_type_var(module, "_TSupports", supports_name)) &&
         bind_supports_type_key(module) &&
         rt::add_function(module, kTypeKeySpec) && rt::add_function(module, kTypeKeyClass) &&
         rt::add_object(module, "__get_implementation_type",
                        rt::make_type_var(module, "__get_implementation_type")) &&
         rt::add_function(module, kGetImplementation) && rt::add_function(module, kGetImplementations) &&
         rt::add_object(module, "__subclasses_tv", rt::make_type_var(module, "__subclasses_tv")) &&
         rt::add_function(module, kSubclasses);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(type_lookup, "Type arguments of generic types, type keys and the lookup of implementations by key.",
               quorvel::exec_module)
