// Owning references to interpreter objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvel::rt {

// Owns one strong reference (or none). Copying takes another reference,
// moving hands the one it has over, so no path can leak or double-free.
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(const Ref& other) : obj_(Py_XNewRef(other.obj_)) {}
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  ~Ref() { Py_XDECREF(obj_); }

  Ref& operator=(Ref other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }

  // Takes over a reference returned by the C API (new reference or nullptr).
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Takes a new reference to a borrowed pointer.
  static Ref borrow(PyObject* obj) { return Ref(Py_XNewRef(obj)); }

  PyObject* get() const { return obj_; }
  // Gives the reference to the caller (for return values and stealing APIs).
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }
  operator PyObject*() const { return obj_; }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A new tuple of the given items (PyTuple_Pack without its varargs walk).
template <typename... Items>
Ref tuple_of(Items... items) {
  PyObject* result = PyTuple_New(sizeof...(Items));
  if (result == nullptr) return nullptr;
  Py_ssize_t index = 0;
  ((PyTuple_SET_ITEM(result, index++, Py_NewRef(static_cast<PyObject*>(items)))), ...);
  return Ref::steal(result);
}

}  // namespace quorvel::rt
