// The one callable type behind every function and method the modules expose.
#include "function.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>

namespace quorvel::rt {

namespace {

// Marks "no default" in Function::defaults (None is a legitimate default).
PyObject* missing_marker() {
  // Made on first use; a failure (with its error set) is retried by the next caller.
  static PyObject* marker = nullptr;
  if (marker == nullptr) marker = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  return marker;
}

bool has_default(Function* fn, int index) {
  return PyTuple_GET_ITEM(fn->defaults, index) != missing_marker();
}

// --- checks derived from annotation texts ---------------------------------

// The built-in class an annotation names on its own ("dict" for "dict" or
// "dict[str, Any]", optionally followed by " | None"); empty when the text is
// anything else, such as a union with another type or a class of ours.
struct BuiltinAnnotation {
  std::string_view name;
  bool or_none = false;
};

BuiltinAnnotation builtin_annotation(const char* annotation) {
  if (annotation == nullptr) return {};
  std::string_view text(annotation);
  constexpr std::string_view kOrNone = " | None";
  bool or_none = text.ends_with(kOrNone);
  if (or_none) text.remove_suffix(kOrNone.size());
  size_t bracket = text.find('[');
  std::string_view name = text.substr(0, bracket);
  if (bracket != std::string_view::npos) {
    // The subscription must close at the very end: "dict[str, Any] | Any" is a union.
    int depth = 0;
    for (size_t i = bracket; i < text.size(); ++i) {
      depth += text[i] == '[' ? 1 : text[i] == ']' ? -1 : 0;
      if (depth == 0 && i + 1 != text.size()) return {};
    }
  }
  if (name.find_first_of(" |") != std::string_view::npos) return {};
  return {name, or_none};
}

Check check_for(const char* annotation) {
  auto [name, or_none] = builtin_annotation(annotation);
  if (name == "str") return or_none ? Check::kStrOrNone : Check::kStr;
  if (name == "dict") return or_none ? Check::kDictOrNone : Check::kDict;
  if (name == "list") return or_none ? Check::kListOrNone : Check::kList;
  if (or_none) return Check::kNone;
  if (name == "int") return Check::kInt;
  if (name == "bool") return Check::kBool;
  return Check::kNone;
}

// None always passes a return check, so " | None" changes nothing here.
Returns return_check_for(const char* annotation) {
  std::string_view name = builtin_annotation(annotation).name;
  if (name == "str") return Returns::kStr;
  if (name == "dict") return Returns::kDict;
  if (name == "list") return Returns::kList;
  if (name == "tuple") return Returns::kTuple;
  if (name == "set") return Returns::kSet;
  if (name == "bool") return Returns::kBool;
  return Returns::kAny;
}

PyObject* make_default(const Default& fallback) {
  switch (fallback.type) {
    case Default::Type::kMissing:
      return Py_NewRef(missing_marker());
    case Default::Type::kNone:
      return Py_NewRef(Py_None);
    case Default::Type::kInt:
      return PyLong_FromLongLong(fallback.number);
    case Default::Type::kBool:
      return PyBool_FromLong(fallback.number != 0);
    case Default::Type::kStr:
      return PyUnicode_FromString(fallback.text);
    case Default::Type::kImported: {
      Ref module = Ref::steal(PyImport_ImportModule(fallback.text));
      return module ? PyObject_GetAttrString(module, fallback.attribute) : nullptr;
    }
  }
  return nullptr;
}

// --- argument binding, with the interpreter's own error texts --------------

struct Bound {
  PyObject* slots[kMaxParams] = {};
  Ref owned[kMaxParams];
};

Kind kind_of(Function* fn, int index) { return fn->spec->params[index].kind; }

int param_count(Function* fn) { return static_cast<int>(fn->spec->params.size()); }

PyObject* name_at(Function* fn, int index) { return PyTuple_GET_ITEM(fn->param_names, index); }

bool nameable(Kind kind) { return kind == Kind::kPositionalOrKeyword || kind == Kind::kKeywordOnly; }

// Index of the parameter a keyword names, or -1. Positional-only and
// variadic parameters cannot be named. Keywords are nearly always the very
// interned names, so identity is tried before comparing texts.
int find_keyword(Function* fn, PyObject* key) {
  int count = param_count(fn);
  for (int i = 0; i < count; ++i) {
    if (name_at(fn, i) == key) return nameable(kind_of(fn, i)) ? i : -1;
  }
  for (int i = 0; i < count; ++i) {
    if (nameable(kind_of(fn, i)) && PyUnicode_Compare(name_at(fn, i), key) == 0) return i;
  }
  return -1;
}

bool is_positional_only_name(Function* fn, PyObject* key) {
  for (int i = 0; i < fn->positional_count; ++i) {
    if (kind_of(fn, i) == Kind::kPositionalOnly && PyUnicode_Compare(name_at(fn, i), key) == 0) return true;
  }
  return false;
}

void positional_only_as_keyword(Function* fn, PyObject* kwnames) {
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (is_positional_only_name(fn, key) && PyList_Append(names, key) < 0) return;
  }
  Ref comma = Ref::steal(PyUnicode_FromString(", "));
  if (!comma) return;
  Ref joined = Ref::steal(PyUnicode_Join(comma, names));
  if (!joined) return;
  PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
               fn->qualname, joined.get());
}

// The interpreter's "Did you mean" choice among the nameable parameters, or
// nullptr (with no error) when there is none.
Ref keyword_suggestion(Function* fn, PyObject* key) {
  Ref candidates = Ref::steal(PyList_New(0));
  if (!candidates) return nullptr;
  for (int i = 0; i < param_count(fn); ++i) {
    if (nameable(kind_of(fn, i)) && PyList_Append(candidates, name_at(fn, i)) < 0) return nullptr;
  }
  Ref suggestions = Ref::steal(PyImport_ImportModule("_suggestions"));
  Ref suggestion = suggestions ? Ref::steal(PyObject_CallMethod(suggestions, "_generate_suggestions", "OO",
                                                                candidates.get(), key))
                               : nullptr;
  if (!suggestion || suggestion.get() == Py_None) {
    PyErr_Clear();
    return nullptr;
  }
  return suggestion;
}

void unexpected_keyword(Function* fn, PyObject* kwnames, PyObject* key) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    if (is_positional_only_name(fn, PyTuple_GET_ITEM(kwnames, i))) return positional_only_as_keyword(fn, kwnames);
  }
  if (Ref suggestion = keyword_suggestion(fn, key)) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", fn->qualname,
                 key, suggestion.get());
    return;
  }
  PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
}

void too_many_positional(Function* fn, Py_ssize_t given, const Bound& bound) {
  Py_ssize_t defaults = 0;
  for (int i = 0; i < fn->positional_count; ++i) defaults += has_default(fn, i);
  Py_ssize_t kwonly_given = 0;
  for (int i = 0; i < param_count(fn); ++i) {
    kwonly_given += kind_of(fn, i) == Kind::kKeywordOnly && bound.slots[i] != nullptr;
  }
  Py_ssize_t count = fn->positional_count;
  Ref sig = Ref::steal(defaults ? PyUnicode_FromFormat("from %zd to %zd", count - defaults, count)
                                : PyUnicode_FromFormat("%zd", count));
  if (!sig) return;
  Ref kwonly_sig = Ref::steal(
      kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                          given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                   : PyUnicode_FromString(""));
  if (!kwonly_sig) return;
  bool plural = defaults != 0 || count != 1;
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", fn->qualname, sig.get(),
               plural ? "s" : "", given, kwonly_sig.get(), given == 1 && !kwonly_given ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
Ref natural_list(PyObject* names) {
  Py_ssize_t len = PyList_GET_SIZE(names);
  if (len == 1) return Ref::borrow(PyList_GET_ITEM(names, 0));
  if (len == 2) {
    return Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0), PyList_GET_ITEM(names, 1)));
  }
  Ref tail = Ref::steal(
      PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, len - 2), PyList_GET_ITEM(names, len - 1)));
  Ref head = Ref::steal(PyList_GetSlice(names, 0, len - 2));
  Ref comma = Ref::steal(PyUnicode_FromString(", "));
  if (!tail || !head || !comma) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(comma, head));
  if (!joined) return nullptr;
  return Ref::steal(PyUnicode_Concat(joined, tail));
}

// Fills defaults of one group of parameters; reports the missing ones.
bool fill_defaults(Function* fn, Bound& bound, bool keyword_only) {
  Ref missing;
  for (int i = 0; i < param_count(fn); ++i) {
    Kind kind = kind_of(fn, i);
    bool in_group = keyword_only ? kind == Kind::kKeywordOnly : i < fn->positional_count;
    if (!in_group || bound.slots[i] != nullptr) continue;
    if (has_default(fn, i)) {
      bound.slots[i] = PyTuple_GET_ITEM(fn->defaults, i);
      continue;
    }
    if (!missing && !(missing = Ref::steal(PyList_New(0)))) return false;
    Ref repr = Ref::steal(PyObject_Repr(name_at(fn, i)));
    if (!repr || PyList_Append(missing, repr) < 0) return false;
  }
  if (!missing) return true;
  Ref listed = natural_list(missing);
  if (!listed) return false;
  Py_ssize_t count = PyList_GET_SIZE(missing.get());
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", fn->qualname, count,
               keyword_only ? "keyword-only" : "positional", count == 1 ? "" : "s", listed.get());
  return false;
}

bool bind_keywords(Function* fn, Bound& bound, PyObject* const* values, PyObject* kwnames) {
  for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    int index = find_keyword(fn, key);
    if (index < 0) {
      if (fn->var_keyword < 0) {
        unexpected_keyword(fn, kwnames, key);
        return false;
      }
      Ref& extra = bound.owned[fn->var_keyword];
      if (!extra && !(extra = Ref::steal(PyDict_New()))) return false;
      if (PyDict_SetItem(extra, key, values[j]) < 0) return false;
      bound.slots[fn->var_keyword] = extra.get();
      continue;
    }
    if (bound.slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
      return false;
    }
    bound.slots[index] = values[j];
  }
  return true;
}

bool bind_general(Function* fn, Bound& bound, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Py_ssize_t positional = nargs < fn->positional_count ? nargs : fn->positional_count;
  for (Py_ssize_t i = 0; i < positional; ++i) bound.slots[i] = args[i];
  if (fn->var_positional >= 0) {
    Ref rest = Ref::steal(PyTuple_New(nargs - positional));
    if (!rest) return false;
    for (Py_ssize_t i = positional; i < nargs; ++i) PyTuple_SET_ITEM(rest.get(), i - positional, Py_NewRef(args[i]));
    bound.slots[fn->var_positional] = rest.get();
    bound.owned[fn->var_positional] = std::move(rest);
  }
  if (kwnames != nullptr && !bind_keywords(fn, bound, args + nargs, kwnames)) return false;
  if (nargs > fn->positional_count && fn->var_positional < 0) {
    too_many_positional(fn, nargs, bound);
    return false;
  }
  return fill_defaults(fn, bound, false) && fill_defaults(fn, bound, true);
}

bool apply_checks(Function* fn, Bound& bound) {
  for (int i = 0; i < param_count(fn); ++i) {
    if (fn->checks[i] == Check::kNone || bound.slots[i] == nullptr) continue;
    const char* name = fn->spec->params[i].name;
    bound.slots[i] = check_argument(fn->checks[i], name, bound.slots[i], bound.owned[i]);
    if (bound.slots[i] == nullptr) return false;
  }
  return true;
}

PyObject* call_impl(Function* fn, PyObject* const* args) {
  try {
    return check_return(fn->return_check, fn->spec->impl(fn, args));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return nullptr;
  }
}

// True when `arg` passes `check` as it is, with nothing to convert.
bool passes_unchanged(Check check, PyObject* arg) {
  switch (check) {
    case Check::kNone:
      return true;
    case Check::kStr:
      return PyUnicode_CheckExact(arg);
    case Check::kStrOrNone:
      return PyUnicode_CheckExact(arg) || arg == Py_None;
    case Check::kDict:
      return PyDict_CheckExact(arg);
    case Check::kDictOrNone:
      return PyDict_CheckExact(arg) || arg == Py_None;
    case Check::kList:
      return PyList_CheckExact(arg);
    case Check::kListOrNone:
      return PyList_CheckExact(arg) || arg == Py_None;
    case Check::kInt:
      return PyLong_CheckExact(arg);
    case Check::kBool:
      return arg == Py_True || arg == Py_False;
  }
  return false;
}

// The common call: positional arguments, keywords given by their interned
// names, the rest from defaults, nothing to convert. Borrowed pointers
// suffice, so nothing is allocated. Anything else (including every error)
// goes through the general binding.
bool bind_simple(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  int count = param_count(fn);
  if (!fn->simple || nargs > fn->positional_count) return false;
  for (int i = 0; i < count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < keywords; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    int index = 0;
    while (index < count && name_at(fn, index) != key) ++index;
    if (index == count || !nameable(kind_of(fn, index)) || slots[index] != nullptr) return false;
    slots[index] = args[nargs + j];
  }
  for (int i = 0; i < count; ++i) {
    if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(fn->defaults, i);
    if (slots[i] == missing_marker() || !passes_unchanged(fn->checks[i], slots[i])) return false;
  }
  return true;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* fn = reinterpret_cast<Function*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* slots[kMaxParams];
  if (bind_simple(fn, args, nargs, kwnames, slots)) return call_impl(fn, slots);
  Bound bound;
  if (!bind_general(fn, bound, args, nargs, kwnames) || !apply_checks(fn, bound)) return nullptr;
  return call_impl(fn, bound.slots);
}

// --- the type ---------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* fn = reinterpret_cast<Function*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->name);
  Py_VISIT(fn->qualname);
  Py_VISIT(fn->module);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->param_names);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->dict);
  Py_VISIT(fn->owner);
  Py_VISIT(fn->signature);
  return 0;
}

int function_clear(PyObject* self) {
  auto* fn = reinterpret_cast<Function*>(self);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->dict);
  Py_CLEAR(fn->owner);
  Py_CLEAR(fn->signature);
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* fn = reinterpret_cast<Function*>(self);
  PyObject_GC_UnTrack(self);
  if (fn->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->param_names);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

// Behaves like a Python function: bound to an instance, itself on the class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* parameter_kind(PyObject* parameter_class, Kind kind) {
  static const char* const kNames[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY",
                                       "VAR_KEYWORD"};
  return PyObject_GetAttrString(parameter_class, kNames[static_cast<int>(kind)]);
}

Ref annotation_or_empty(const char* text, PyObject* empty) {
  return text ? Ref::steal(PyUnicode_FromString(text)) : Ref::borrow(empty);
}

Ref build_parameter(Function* fn, int index, PyObject* parameter_class, PyObject* empty) {
  const Param& param = fn->spec->params[index];
  Ref kind = Ref::steal(parameter_kind(parameter_class, param.kind));
  Ref annotation = annotation_or_empty(param.annotation, empty);
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kind || !annotation || !kwargs) return nullptr;
  if (PyDict_SetItemString(kwargs, "annotation", annotation) < 0) return nullptr;
  if (has_default(fn, index) && PyDict_SetItemString(kwargs, "default", PyTuple_GET_ITEM(fn->defaults, index)) < 0) {
    return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(2, name_at(fn, index), kind.get()));
  if (!args) return nullptr;
  return Ref::steal(PyObject_Call(parameter_class, args, kwargs));
}

Ref build_signature(Function* fn) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref signature_class = Ref::steal(PyObject_GetAttrString(inspect, "Signature"));
  Ref parameter_class = Ref::steal(PyObject_GetAttrString(inspect, "Parameter"));
  if (!signature_class || !parameter_class) return nullptr;
  Ref empty = Ref::steal(PyObject_GetAttrString(parameter_class, "empty"));
  Ref params = Ref::steal(PyList_New(0));
  if (!empty || !params) return nullptr;
  for (int i = 0; i < param_count(fn); ++i) {
    Ref parameter = build_parameter(fn, i, parameter_class, empty);
    if (!parameter || PyList_Append(params, parameter) < 0) return nullptr;
  }
  Ref returns = annotation_or_empty(fn->spec->returns, empty);
  Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!returns || !args || !kwargs || PyDict_SetItemString(kwargs, "return_annotation", returns) < 0) return nullptr;
  return Ref::steal(PyObject_Call(signature_class, args, kwargs));
}

PyObject* get_signature(PyObject* self, void*) {
  auto* fn = reinterpret_cast<Function*>(self);
  if (fn->signature == nullptr) {
    Ref signature = build_signature(fn);
    if (!signature) return nullptr;
    fn->signature = signature.release();
  }
  return Py_NewRef(fn->signature);
}

// Positional defaults, as `__defaults__` of a Python function shows them.
PyObject* get_defaults(PyObject* self, void*) {
  auto* fn = reinterpret_cast<Function*>(self);
  int first = fn->positional_count;
  while (first > 0 && has_default(fn, first - 1)) --first;
  if (first == fn->positional_count) Py_RETURN_NONE;
  return PyTuple_GetSlice(fn->defaults, first, fn->positional_count);
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  auto* fn = reinterpret_cast<Function*>(self);
  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  for (int i = 0; i < param_count(fn); ++i) {
    if (kind_of(fn, i) != Kind::kKeywordOnly || !has_default(fn, i)) continue;
    if (PyDict_SetItem(result, name_at(fn, i), PyTuple_GET_ITEM(fn->defaults, i)) < 0) return nullptr;
  }
  if (PyDict_GET_SIZE(result.get()) == 0) Py_RETURN_NONE;
  return result.release();
}

// Pickles by reference, as for any module-level function or method.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "nimbrel.quorvel.function";
  type.tp_basicsize = sizeof(Function);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(Function, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_doc = "A function of the quorvel extension modules.";
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(Function, weakrefs);
  type.tp_methods = function_methods;
  type.tp_members = function_members;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(Function, dict);
  return type;
}();

bool describe_params(Function* fn) {
  const FunctionSpec& spec = *fn->spec;
  int count = static_cast<int>(spec.params.size());
  if (count > kMaxParams) {
    PyErr_Format(PyExc_SystemError, "%s declares too many parameters", spec.name);
    return false;
  }
  fn->param_names = PyTuple_New(count);
  fn->defaults = PyTuple_New(count);
  if (fn->param_names == nullptr || fn->defaults == nullptr) return false;
  fn->var_positional = fn->var_keyword = -1;
  fn->simple = true;
  for (int i = 0; i < count; ++i) {
    const Param& param = spec.params[i];
    PyObject* name = PyUnicode_InternFromString(param.name);
    PyObject* fallback = make_default(param.fallback);
    if (name == nullptr || fallback == nullptr) {
      Py_XDECREF(name);
      Py_XDECREF(fallback);
      return false;
    }
    PyTuple_SET_ITEM(fn->param_names, i, name);
    PyTuple_SET_ITEM(fn->defaults, i, fallback);
    fn->checks[i] = check_for(param.annotation);
    fn->simple = fn->simple && param.kind != Kind::kVarPositional && param.kind != Kind::kVarKeyword;
    if (param.kind == Kind::kPositionalOnly || param.kind == Kind::kPositionalOrKeyword) ++fn->positional_count;
    if (param.kind == Kind::kVarPositional) fn->var_positional = i;
    if (param.kind == Kind::kVarKeyword) fn->var_keyword = i;
  }
  fn->return_check = spec.return_checked ? return_check_for(spec.returns) : Returns::kAny;
  return true;
}

Ref qualified(PyObject* prefix, PyObject* name) {
  if (prefix == nullptr) return Ref::borrow(name);
  return Ref::steal(PyUnicode_FromFormat("%U.%U", prefix, name));
}

}  // namespace

PyObject* make_function(const FunctionSpec& spec, PyObject* module_name, PyObject* qualname_prefix) {
  if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) return nullptr;
  if (missing_marker() == nullptr) return nullptr;
  Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
  if (!name) return nullptr;
  Ref qualname = qualified(qualname_prefix, name);
  Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
  if (!qualname || !doc) return nullptr;
  auto* fn = PyObject_GC_New(Function, &function_type);
  if (fn == nullptr) return nullptr;
  // Every field starts empty so that dealloc is safe from here on.
  std::memset(reinterpret_cast<char*>(fn) + sizeof(PyObject), 0, sizeof(Function) - sizeof(PyObject));
  Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
  fn->vectorcall = function_vectorcall;
  fn->spec = &spec;
  fn->name = name.release();
  fn->qualname = qualname.release();
  fn->doc = doc.release();
  fn->module = Py_XNewRef(module_name);
  if (!describe_params(fn)) return nullptr;
  PyObject_GC_Track(fn);
  return result.release();
}


}  // namespace quorvel::rt
