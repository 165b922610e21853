// Display helpers for messages and the conversion of class names to type keys.
#include <string>

#include "runtime.hpp"

namespace quorvel {
namespace {


using CodePoints = std::u32string;

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

bool is_lower_or_digit(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool is_upper(char32_t c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char32_t c) { return c >= 'a' && c <= 'z'; }

// "([a-z0-9])([A-Z])" -> "\1_\2"
CodePoints split_after_lower(const CodePoints& text) {
  CodePoints out;
  out.reserve(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    out.push_back(text[i]);
    if (i + 1 < text.size() && is_lower_or_digit(text[i]) && is_upper(text[i + 1])) {
      out.push_back('_');
      out.push_back(text[++i]);
    }
  }
  return out;
}

// "([A-Z]+)([A-Z][a-z])" -> "\1_\2": a run of two or more capitals followed
// by a lowercase letter splits before its last capital.
CodePoints split_capital_runs(const CodePoints& text) {
  CodePoints out;
  out.reserve(text.size() * 2);
  size_t i = 0;
  while (i < text.size()) {
    if (!is_upper(text[i])) {
      out.push_back(text[i++]);
      continue;
    }
    size_t end = i;
    while (end < text.size() && is_upper(text[end])) ++end;
    bool splits = end - i >= 2 && end < text.size() && is_lower(text[end]);
    out.append(text, i, end - i - (splits ? 1 : 0));
    if (splits) {
      out.push_back('_');
      out.push_back(text[end - 1]);
      out.push_back(text[end]);
      ++end;
    }
    i = end;
  }
  return out;
}

// "_+" -> "_"
CodePoints collapse_underscores(const CodePoints& text) {
  CodePoints out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c != '_' || out.empty() || out.back() != '_') out.push_back(c);
  }
  return out;
}

PyObject* python_identifier_to_type_key(rt::Function*, PyObject* const* args) {
  PyObject* name = args[0];
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0) return Py_NewRef(name);
  int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  Py_ssize_t leading = 0;
  while (leading < length && PyUnicode_READ(kind, data, leading) == '_') ++leading;
  CodePoints core;
  core.reserve(length - leading);
  for (Py_ssize_t i = leading; i < length; ++i) core.push_back(PyUnicode_READ(kind, data, i));
  core = collapse_underscores(split_capital_runs(split_after_lower(core)));
  Ref text = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, core.data(), core.size()));
  if (!text) return nullptr;
  Ref lowered = rt::lower(text);
  if (!lowered || leading == 0) return lowered.release();
  Ref prefix = Ref::steal(PyUnicode_Substring(name, 0, leading));
  if (!prefix) return nullptr;
  return PyUnicode_Concat(prefix, lowered);
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
  if (!rt::bind_from(module, "typing", "Any") || !rt::bind_module(module, "re")) return false;
  for (const rt::FunctionSpec& spec : kFunctions) {
    if (!rt::add_function(module, spec)) return false;
  }
  return true;
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(naming, "Display and naming helpers used in every message and type key.", quorvel::exec_module)
