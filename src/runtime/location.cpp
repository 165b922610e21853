// Where in the data a parse failed: the location carried by library errors.
#include "location.hpp"

#include <vector>

#include "names.hpp"

namespace quorvel::rt {

namespace {

// The pending exception, held aside while its location is rewritten and put
// back as it was whatever happens to the rewriting; a failure while
// rewriting is dropped at once, so no call runs with an error set.
class PendingError {
 public:
  explicit PendingError(const Global& error_class)
      : error_(Ref::steal(PyErr_GetRaisedException())), class_(error_ ? error_class.get() : nullptr) {
    if (!class_) PyErr_Clear();
  }
  ~PendingError() { PyErr_SetRaisedException(error_.release()); }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;

  bool is_library_error(PyObject* obj) const {
    if (!class_) return false;
    int verdict = PyObject_IsInstance(obj, class_);
    if (verdict < 0) PyErr_Clear();
    return verdict > 0;
  }
  // The exception when it is a library error, else nullptr.
  PyObject* library_error() const { return error_ && is_library_error(error_) ? error_.get() : nullptr; }

 private:
  Ref error_;
  Ref class_;
};

bool is_link(PyObject* stored) { return PyList_CheckExact(stored) && PyList_GET_SIZE(stored) == 2; }

// What the error keeps for its location: a chain of [step, rest] links
// ending in a tuple, a tuple, or a value assigned by hand. An error never
// located keeps nothing and answers the empty tuple.
Ref stored_location(PyObject* error) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(error, nullptr));
  PyObject* stored = nullptr;
  if (!dict || PyDict_GetItemRef(dict, kStoredLocation, &stored) < 0) return nullptr;
  return stored ? Ref::steal(stored) : Ref::steal(PyTuple_New(0));
}

bool store_location(PyObject* error, PyObject* stored) {
  Ref dict = stored ? Ref::steal(PyObject_GenericGetDict(error, nullptr)) : nullptr;
  return dict && PyDict_SetItem(dict, kStoredLocation, stored) == 0;
}

// A chain that steps can be put in front of, or nullptr when the error's
// location was set by hand to something else, which is then left alone.
Ref extensible_location(PyObject* error) {
  Ref stored = stored_location(error);
  if (!stored) PyErr_Clear();
  return stored && (PyTuple_Check(stored.get()) || is_link(stored)) ? stored : nullptr;
}

Ref link(PyObject* step, PyObject* rest) {
  Ref pair = Ref::steal(PyList_New(2));
  if (!pair) return nullptr;
  PyList_SET_ITEM(pair.get(), 0, Py_NewRef(step));
  PyList_SET_ITEM(pair.get(), 1, Py_NewRef(rest));
  return pair;
}

// `steps` in front of `rest`, the last step linked first.
Ref prefixed(std::initializer_list<PyObject*> steps, Ref rest) {
  for (auto step = std::rbegin(steps); rest && step != std::rend(steps); ++step) rest = link(*step, rest);
  return rest;
}

void store_or_drop(PyObject* error, Ref stored) {
  if (!store_location(error, stored)) PyErr_Clear();
}

// The tuple a chain stands for.
Ref flattened(PyObject* chain) {
  std::vector<PyObject*> steps;
  PyObject* node = chain;
  for (; is_link(node); node = PyList_GET_ITEM(node, 1)) steps.push_back(PyList_GET_ITEM(node, 0));
  if (!PyTuple_Check(node)) {
    PyErr_Format(PyExc_TypeError, "a location chain ends in %.200s, not a tuple", Py_TYPE(node)->tp_name);
    return nullptr;
  }
  Py_ssize_t tail = PyTuple_GET_SIZE(node);
  Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(steps.size()) + tail));
  if (!result) return nullptr;
  Py_ssize_t index = 0;
  for (PyObject* step : steps) PyTuple_SET_ITEM(result.get(), index++, Py_NewRef(step));
  for (Py_ssize_t i = 0; i < tail; ++i) PyTuple_SET_ITEM(result.get(), index++, Py_NewRef(PyTuple_GET_ITEM(node, i)));
  return result;
}

// The decimal text of an int; past the interpreter's limit on decimal
// conversion, its hexadecimal literal, which has no limit.
Ref int_text(PyObject* number) {
  Ref text = Ref::steal(PyNumber_ToBase(number, 10));
  if (text || !PyErr_ExceptionMatches(PyExc_ValueError)) return text;
  PyErr_Clear();
  return Ref::steal(PyNumber_ToBase(number, 16));
}

// A step as JSON writes a dictionary key; text is escaped afterwards.
Ref key_text(PyObject* step) {
  if (PyUnicode_Check(step)) return Ref::borrow(step);
  if (PyBool_Check(step)) return Ref::steal(PyUnicode_FromString(step == Py_True ? "true" : "false"));
  if (PyLong_Check(step)) return int_text(step);
  if (step == Py_None) return Ref::steal(PyUnicode_FromString("null"));
  if (PyFloat_Check(step)) return Ref::steal(PyFloat_Type.tp_repr(step));
  return Ref::steal(PyObject_Str(step));
}

Ref replaced(Ref text, const char* old_text, const char* new_text) {
  Ref old_part = text ? Ref::steal(PyUnicode_FromString(old_text)) : nullptr;
  Ref new_part = old_part ? Ref::steal(PyUnicode_FromString(new_text)) : nullptr;
  return new_part ? Ref::steal(PyUnicode_Replace(text, old_part, new_part, -1)) : nullptr;
}

bool contains(PyObject* text, Py_UCS4 character) {
  return PyUnicode_FindChar(text, character, 0, PY_SSIZE_T_MAX, 1) >= 0;
}

Ref escaped_step(PyObject* step) {
  Ref text = key_text(step);
  if (!text || (!contains(text, '~') && !contains(text, '/'))) return text;
  return replaced(replaced(std::move(text), "~", "~0"), "/", "~1");
}

}  // namespace

std::nullptr_t locate(const Global& error_class, std::initializer_list<PyObject*> steps) {
  PendingError pending(error_class);
  PyObject* error = pending.library_error();
  Ref rest = error ? extensible_location(error) : nullptr;
  if (rest) store_or_drop(error, prefixed(steps, std::move(rest)));
  return nullptr;
}

std::nullptr_t locate_wrapper(const Global& error_class, PyObject* step) {
  PendingError pending(error_class);
  PyObject* error = pending.library_error();
  if (error == nullptr) return nullptr;
  Ref cause = Ref::steal(PyException_GetCause(error));
  Ref rest = cause && pending.is_library_error(cause) ? extensible_location(cause) : nullptr;
  store_or_drop(error, prefixed({step}, rest ? std::move(rest) : Ref::steal(PyTuple_New(0))));
  return nullptr;
}

std::nullptr_t drop_leading_step(const Global& error_class, PyObject* step) {
  PendingError pending(error_class);
  PyObject* error = pending.library_error();
  Ref stored = error ? extensible_location(error) : nullptr;
  Ref location = stored ? flattened(stored) : nullptr;
  if (!location || PyTuple_GET_SIZE(location.get()) == 0) return nullptr;
  int leading = PyObject_RichCompareBool(PyTuple_GET_ITEM(location.get(), 0), step, Py_EQ);
  if (leading < 0) PyErr_Clear();
  if (leading > 0) store_or_drop(error, Ref::steal(PyTuple_GetSlice(location, 1, PY_SSIZE_T_MAX)));
  return nullptr;
}

Ref error_location(PyObject* error) {
  Ref stored = stored_location(error);
  if (!stored || !is_link(stored)) return stored;
  // Read once as a tuple, it is kept as one.
  Ref location = flattened(stored);
  return location && store_location(error, location) ? location : nullptr;
}

bool set_error_location(PyObject* error, PyObject* location) {
  // A list or tuple given is kept as a tuple, which is what a location is
  // (and keeps it apart from the links of a chain).
  if (!PyList_Check(location) && !PyTuple_Check(location)) return store_location(error, location);
  Ref steps = Ref::steal(PySequence_Tuple(location));
  return steps && store_location(error, steps);
}

Ref json_pointer(PyObject* location) {
  Ref parts = Ref::steal(PyList_New(0));
  Ref empty = parts ? Ref::steal(PyUnicode_New(0, 0)) : nullptr;
  if (!empty || PyList_Append(parts, empty) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(location); ++i) {
    Ref part = escaped_step(PyTuple_GET_ITEM(location, i));
    if (!part || PyList_Append(parts, part) < 0) return nullptr;
  }
  if (PyList_GET_SIZE(parts.get()) == 1) return empty;
  Ref separator = Ref::steal(PyUnicode_FromString("/"));
  return separator ? Ref::steal(PyUnicode_Join(separator, parts)) : nullptr;
}

}  // namespace quorvel::rt
