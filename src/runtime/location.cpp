// Where in the data a parse failed: the location carried by library errors.
#include "location.hpp"

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

// The location of `error` when it is a tuple (a location set to something
// else is left alone), or nullptr.
Ref location_of(PyObject* error) {
  Ref location = Ref::steal(PyObject_GetAttr(error, kLocation));
  if (!location) PyErr_Clear();
  return location && PyTuple_Check(location.get()) ? location : nullptr;
}

// `steps + location`, as a new tuple.
Ref prefixed(std::initializer_list<PyObject*> steps, PyObject* location) {
  Py_ssize_t inner = PyTuple_GET_SIZE(location);
  Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(steps.size()) + inner));
  if (!result) return nullptr;
  Py_ssize_t index = 0;
  for (PyObject* step : steps) PyTuple_SET_ITEM(result.get(), index++, Py_NewRef(step));
  for (Py_ssize_t i = 0; i < inner; ++i) PyTuple_SET_ITEM(result.get(), index++, Py_NewRef(PyTuple_GET_ITEM(location, i)));
  return result;
}

void set_location(PyObject* error, PyObject* location) {
  if (!location || PyObject_SetAttr(error, kLocation, location) < 0) PyErr_Clear();
}

// A step as JSON writes a dictionary key; text is escaped afterwards.
Ref key_text(PyObject* step) {
  if (PyUnicode_Check(step)) return Ref::borrow(step);
  if (PyBool_Check(step)) return Ref::steal(PyUnicode_FromString(step == Py_True ? "true" : "false"));
  if (PyLong_Check(step)) return Ref::steal(PyNumber_ToBase(step, 10));
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
  Ref location = error ? location_of(error) : nullptr;
  if (location) set_location(error, prefixed(steps, location));
  return nullptr;
}

std::nullptr_t locate_wrapper(const Global& error_class, PyObject* step) {
  PendingError pending(error_class);
  PyObject* error = pending.library_error();
  if (error == nullptr) return nullptr;
  Ref cause = Ref::steal(PyException_GetCause(error));
  Ref inner = cause && pending.is_library_error(cause) ? location_of(cause) : nullptr;
  if (!inner) inner = Ref::steal(PyTuple_New(0));
  if (inner) set_location(error, prefixed({step}, inner));
  else PyErr_Clear();
  return nullptr;
}

std::nullptr_t drop_leading_step(const Global& error_class, PyObject* step) {
  PendingError pending(error_class);
  PyObject* error = pending.library_error();
  Ref location = error ? location_of(error) : nullptr;
  if (!location || PyTuple_GET_SIZE(location.get()) == 0) return nullptr;
  int leading = PyObject_RichCompareBool(PyTuple_GET_ITEM(location.get(), 0), step, Py_EQ);
  if (leading < 0) PyErr_Clear();
  if (leading > 0) set_location(error, Ref::steal(PyTuple_GetSlice(location, 1, PY_SSIZE_T_MAX)));
  return nullptr;
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
