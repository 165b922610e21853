// Raising, chaining and the argument and return checks shared by all modules.
#pragma once

#include "ref.hpp"

namespace quorvel::rt {

// `raise type(message) from caught`: the caught exception (the one currently
// raised, which this takes) becomes both cause and context. Returns nullptr.
PyObject* raise_from(PyObject* type, PyObject* message);
PyObject* raise_from(PyObject* type, const char* message);

// A library error raised inside an exception handler: the caught exception
// (the one currently raised, which this takes) is kept as context only.
PyObject* raise_in_handler(PyObject* type, PyObject* message);
PyObject* raise_in_handler(PyObject* type, const char* message);

// Raises `type(message)` like a plain `raise` statement would.
PyObject* raise(PyObject* type, PyObject* message);

// What a parameter annotated with a built-in type accepts.
enum class Check : unsigned char {
  kNone,        // not checked
  kStr,         // exactly str
  kStrOrNone,   // exactly str, or None
  kDict,        // exactly dict
  kDictOrNone,  // exactly dict, or None
  kList,        // exactly list
  kListOrNone,  // exactly list, or None
  kInt,         // any number, converted with int()
  kBool,        // any object, converted to its truth value
};

// Applies `check` to `arg`. Returns the object the function receives (the
// argument itself, or its converted form, in `converted`), or nullptr with
// TypeError set.
PyObject* check_argument(Check check, const char* name, PyObject* arg, Ref& converted);

// What a function whose return annotation is a built-in type may return.
enum class Returns : unsigned char { kAny, kStr, kDict, kList, kTuple, kSet, kBool };

// Checks a returned value (None always passes); steals `result`.
PyObject* check_return(Returns returns, PyObject* result);

// Enters one level of the interpreter's recursion limit for the lifetime of
// the guard, so hostile nesting ends in RecursionError instead of a crash.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  // False when the limit was hit; RecursionError is then set.
  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
};

}  // namespace quorvel::rt
