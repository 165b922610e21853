// Raising, chaining and the argument and return checks shared by all modules.
#include "errors.hpp"

namespace quorvel::rt {

namespace {

// Builds `type(message)` and raises it with the caught exception chained as
// context (and as cause when `as_cause`). PyErr_SetRaisedException is used
// because PyErr_SetObject would replace the context with whatever exception
// an enclosing Python handler is processing.
PyObject* raise_chained(PyObject* type, PyObject* message, bool as_cause) {
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  if (!caught) return raise(type, message);
  Ref exc = Ref::steal(PyObject_CallOneArg(type, message));
  if (!exc) return nullptr;
  // A class whose __new__ answers something else must not have its result
  // treated as an exception object.
  if (!PyExceptionInstance_Check(exc.get())) {
    PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %.200s", type,
                 Py_TYPE(exc.get())->tp_name);
    return nullptr;
  }
  if (as_cause) PyException_SetCause(exc, Py_NewRef(caught.get()));
  PyException_SetContext(exc, caught.release());
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

PyObject* with_text(PyObject* type, const char* message, bool as_cause) {
  // Create the text before anything else can disturb the caught exception.
  PyObject* caught = PyErr_GetRaisedException();
  Ref text = Ref::steal(PyUnicode_FromString(message));
  if (!text) {
    Py_XDECREF(caught);
    return nullptr;
  }
  PyErr_SetRaisedException(caught);
  return raise_chained(type, text, as_cause);
}

PyObject* argument_type_error(const char* name, const char* expected, PyObject* arg) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, expected, Py_TYPE(arg)->tp_name);
  return nullptr;
}

PyObject* exact(PyObject* arg, PyTypeObject* type, bool allow_none, const char* name) {
  if (Py_IS_TYPE(arg, type) || (allow_none && arg == Py_None)) return arg;
  return argument_type_error(name, type->tp_name, arg);
}

bool is_number(PyObject* arg) {
  PyNumberMethods* nb = Py_TYPE(arg)->tp_as_number;
  return nb != nullptr && (nb->nb_index || nb->nb_int || nb->nb_float);
}

}  // namespace

PyObject* raise_from(PyObject* type, PyObject* message) { return raise_chained(type, message, true); }
PyObject* raise_from(PyObject* type, const char* message) { return with_text(type, message, true); }
PyObject* raise_in_handler(PyObject* type, PyObject* message) { return raise_chained(type, message, false); }
PyObject* raise_in_handler(PyObject* type, const char* message) { return with_text(type, message, false); }

PyObject* raise(PyObject* type, PyObject* message) {
  PyErr_SetObject(type, message);
  return nullptr;
}

PyObject* check_argument(Check check, const char* name, PyObject* arg, Ref& converted) {
  switch (check) {
    case Check::kNone:
      return arg;
    case Check::kStr:
    case Check::kStrOrNone:
      return exact(arg, &PyUnicode_Type, check == Check::kStrOrNone, name);
    case Check::kDict:
    case Check::kDictOrNone:
      return exact(arg, &PyDict_Type, check == Check::kDictOrNone, name);
    case Check::kList:
    case Check::kListOrNone:
      return exact(arg, &PyList_Type, check == Check::kListOrNone, name);
    case Check::kInt:
      if (PyLong_CheckExact(arg)) return arg;
      if (!is_number(arg)) return argument_type_error(name, "int", arg);
      converted = Ref::steal(PyNumber_Long(arg));
      return converted.get();
    case Check::kBool: {
      int truth = PyObject_IsTrue(arg);
      if (truth < 0) return nullptr;
      return truth ? Py_True : Py_False;
    }
  }
  return arg;
}

PyObject* check_return(Returns returns, PyObject* result) {
  if (result == nullptr || result == Py_None) return result;
  PyTypeObject* expected = nullptr;
  switch (returns) {
    case Returns::kAny:
      return result;
    case Returns::kStr:
      expected = &PyUnicode_Type;
      break;
    case Returns::kDict:
      expected = &PyDict_Type;
      break;
    case Returns::kList:
      expected = &PyList_Type;
      break;
    case Returns::kTuple:
      expected = &PyTuple_Type;
      break;
    case Returns::kSet:
      expected = &PySet_Type;
      break;
    case Returns::kBool:
      expected = &PyBool_Type;
      break;
  }
  if (Py_IS_TYPE(result, expected)) return result;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(result)->tp_name);
  Py_DECREF(result);
  return nullptr;
}

}  // namespace quorvel::rt
