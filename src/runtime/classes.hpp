// Building classes through their real metaclasses, and `super()` lookups.
#pragma once

#include <vector>

#include "function.hpp"

namespace quorvel::rt {

// Collects a class namespace (`__module__`, `__qualname__`, `__doc__`, string
// annotations, values and our callables) and hands it to a metaclass, the
// way a class statement does. Each step records the first failure; `create`
// then returns nullptr with that error set.
class ClassBuilder {
 public:
  ClassBuilder(PyObject* module, const char* name, const char* doc);

  // Declares `name: annotation` with the annotation kept as text.
  ClassBuilder& annotate(const char* name, const char* annotation);
  // Sets a namespace entry; steals `value`.
  ClassBuilder& set(const char* name, PyObject* value);
  ClassBuilder& method(const FunctionSpec& spec);
  ClassBuilder& class_method(const FunctionSpec& spec);
  ClassBuilder& static_method(const FunctionSpec& spec);
  // The callable for a method of this class, for wrapping before `set`.
  Ref function(const FunctionSpec& spec);

  // Calls `metaclass(name, bases, namespace, **kwargs)`; records the new
  // class as the owner of every callable created here.
  Ref create(PyObject* metaclass, PyObject* bases, PyObject* kwargs = nullptr);

 private:
  ClassBuilder& wrapped(const FunctionSpec& spec, PyObject* (*wrap)(PyObject*));
  bool ok() const { return ok_; }
  void fail() { ok_ = false; }

  Ref module_name_;
  Ref name_;
  Ref namespace_;
  Ref annotations_;
  std::vector<Ref> functions_;
  bool ok_ = true;
};

// `getattr(obj, name)` reporting absence instead of raising, exactly as
// PyObject_GetOptionalAttr (1 found, 0 absent, -1 error). For a class whose
// metaclass keeps type's own attribute lookup, a plain value is read from
// the interpreter's type cache without the general machinery.
int optional_attr(PyObject* obj, PyObject* name, PyObject** result);

// `getattr(obj, name)`, with the same fast path for classes.
Ref attr(PyObject* obj, PyObject* name);

// `super(owner, obj).name`: looks `name` up along the MRO of `obj` (or of the
// class `obj`) after `owner`, binding descriptors as `super` does.
Ref super_attr(PyObject* owner, PyObject* obj, PyObject* name);

}  // namespace quorvel::rt
