// Display helpers for messages and the conversion of class names to type keys.
#include <cstring>
#include <string>

#include "runtime.hpp"

namespace quorvel {
namespace {


// --- display_class_name ---------------------------------------------------

PyObject* display_class_name(rt::Function*, PyObject* const* args) {
  PyObject* a = args[0];
  Ref name = Ref::steal(PyObject_GetAttr(a, kDunderName));
  if (!name) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
  } else if (PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > 0) {
    return name.release();
  }
  return PyObject_Repr(a);
}

// --- display_value --------------------------------------------------------

PyObject* display_value(rt::Function*, PyObject* const* args) {
  Ref rep = Ref::steal(PyObject_Repr(args[0]));
  if (!rep) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    return PyObject_Repr(error);
  }
  // Slicing semantics: a negative length counts from the end, a huge one clips.
  Py_ssize_t limit = PyNumber_AsSsize_t(args[1], nullptr);
  if (limit == -1 && PyErr_Occurred()) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(rep.get());
  // A slice is always an exact str, even of a str subclass that __repr__ gave.
  if (length <= limit) return PyUnicode_Substring(rep, 0, length);
  Py_ssize_t end = limit >= 0 ? limit : (length + limit > 0 ? length + limit : 0);
  Ref head = Ref::steal(PyUnicode_Substring(rep, 0, end));
  if (!head) return nullptr;
  return PyUnicode_FromFormat("%U (truncated)", head.get());
}

// --- python_identifier_to_type_key ----------------------------------------

bool is_lower_or_digit(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool is_upper(Py_UCS4 c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(Py_UCS4 c) { return c >= 'a' && c <= 'z'; }

// The rewrites "([a-z0-9])([A-Z])" -> "\1_\2", then "([A-Z]+)([A-Z][a-z])"
// -> "\1_\2", then "_+" -> "_", done in one pass. Neither insertion can fall
// inside a run of capitals except before its last one, so the runs the second
// rewrite sees are the input's own, and every decision reads the input alone:
// an underscore goes before a capital that follows a lowercase letter or digit,
// or that ends a run of capitals and starts a lowercase word.
template <typename Read, typename Emit>
void snake_case(Py_ssize_t begin, Py_ssize_t end, Read read, Emit emit) {
  Py_UCS4 last = 0;
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = read(i);
    if (is_upper(c) && i > begin) {
      Py_UCS4 before = read(i - 1);
      bool starts_word = is_lower_or_digit(before) || (is_upper(before) && i + 1 < end && is_lower(read(i + 1)));
      if (starts_word) emit(last = '_');
    }
    if (c == '_' && last == '_') continue;
    emit(last = c);
  }
}

Ref ascii_type_key(PyObject* name, Py_ssize_t leading) {
  const Py_UCS1* data = PyUnicode_1BYTE_DATA(name);
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  // At most one underscore is added per character; the text is cut to size after.
  PyObject* key = PyUnicode_New(leading + 2 * (length - leading), 127);
  if (key == nullptr) return nullptr;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(key);
  Py_ssize_t size = leading;
  std::memset(out, '_', leading);
  snake_case(leading, length, [data](Py_ssize_t i) -> Py_UCS4 { return data[i]; },
             [out, &size](Py_UCS4 c) { out[size++] = static_cast<Py_UCS1>(is_upper(c) ? c + ('a' - 'A') : c); });
  if (PyUnicode_Resize(&key, size) < 0) return nullptr;
  return Ref::steal(key);
}

Ref unicode_type_key(PyObject* name, Py_ssize_t leading) {
  int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  std::u32string core;
  snake_case(leading, PyUnicode_GET_LENGTH(name), [kind, data](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); },
             [&core](Py_UCS4 c) { core.push_back(c); });
  Ref text = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, core.data(), core.size()));
  // str.lower: the Unicode case rules apply to non-ASCII letters.
  Ref lowered = text ? rt::lower(text) : nullptr;
  if (!lowered || leading == 0) return lowered;
  Ref prefix = Ref::steal(PyUnicode_Substring(name, 0, leading));
  return prefix ? Ref::steal(PyUnicode_Concat(prefix, lowered)) : nullptr;
}

PyObject* python_identifier_to_type_key(rt::Function*, PyObject* const* args) {
  PyObject* name = args[0];
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0) return Py_NewRef(name);
  Py_ssize_t leading = 0;
  while (leading < length && PyUnicode_READ_CHAR(name, leading) == '_') ++leading;
  return (PyUnicode_IS_ASCII(name) ? ascii_type_key(name, leading) : unicode_type_key(name, leading)).release();
}

// --- module ---------------------------------------------------------------

constexpr rt::Param kDisplayClassNameParams[] = {{"a", "Any"}};
constexpr rt::Param kDisplayValueParams[] = {
    {"value", "Any"},
    {"value_length", "int", rt::Kind::kPositionalOrKeyword, rt::Default::integer(25)},
};
constexpr rt::Param kTypeKeyParams[] = {{"name", "str"}};

const rt::FunctionSpec kFunctions[] = {
    {"display_class_name",
     "Return a human-readable name for a class type.\n\n"
     "Used in order to keep the same representation for classes.",
     display_class_name, kDisplayClassNameParams, "str"},
    {"display_value", "Display a value as a human-readable string that is truncated in order to not flood the logs.",
     display_value, kDisplayValueParams, "str"},
    {"python_identifier_to_type_key",
     "Convert CamelCase or mixedCase identifiers to snake_case.\n\n"
     "Rules:\n"
     "- Treat existing underscores as word boundaries.\n"
     "- Do not introduce duplicate underscores.\n"
     "- Preserve leading underscores.\n"
     "- Lowercase the result.",
     python_identifier_to_type_key, kTypeKeyParams, "str"},
};

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{"typing", "Any"}, {nullptr, "re"}})) return false;
  for (const rt::FunctionSpec& spec : kFunctions) {
    if (!rt::add_function(module, spec)) return false;
  }
  return true;
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(naming, "Display and naming helpers used in every message and type key.", quorvel::exec_module)
