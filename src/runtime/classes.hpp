// Building classes through their real metaclasses, and `super()` lookups.
#pragma once

#include <unordered_map>
#include <vector>

#include "function.hpp"
#include "module.hpp"

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

  // Creates the class with `types.new_class(name, bases, kwds, exec_body)`,
  // as a class statement would: bases such as `dict[str, Any]` resolve
  // through `__mro_entries__` (and are kept in `__orig_bases__`), the
  // metaclass is derived from the bases, and its `__prepare__` namespace
  // receives every entry through `__setitem__`.
  Ref create_from_bases(PyObject* bases, PyObject* kwds = nullptr);

 private:
  ClassBuilder& wrapped(const FunctionSpec& spec, PyObject* (*wrap)(PyObject*));
  Ref adopt(Ref cls);
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

// isinstance(obj, cls) and issubclass(derived, cls). For a class whose
// metaclass keeps ABCMeta's own hooks, abc's C checks are called directly:
// those hooks are Python functions that do nothing but call them, so this
// skips one Python frame per check and answers the same.
int is_instance(PyObject* obj, PyObject* cls);
int is_subclass(PyObject* derived, PyObject* cls);

// Whether isinstance(obj, cls) is true for every object of exactly `type`
// through the MRO alone, so that no registration can change the answer. It
// stays so while neither `type` nor the metaclass of `cls` changes.
bool always_instance(PyTypeObject* type, PyObject* cls);

// `get_origin(tp)` through a module's `get_origin` binding. While that is
// still typing's own function, the common cases are answered without the
// Python-level call: a class has no origin (Generic is its own), and a
// types.GenericAlias reports its __origin__. Anything else is asked.
Ref typing_origin(const Global& get_origin, PyObject* tp);

// `a == b` for two objects, answered by identity when neither type defines
// its own equality (so for classes whose metaclasses keep type's), else
// through the full comparison.
int equal(PyObject* a, PyObject* b);

// `item in container` for a tuple, with `equal` for each comparison.
int tuple_contains(PyObject* container, PyObject* item);

// Values computed once per class and dropped when the class is collected.
// Entries are keyed by the class's address and hold a weak reference to it,
// whose callback removes the entry, so a hit costs one hash lookup and no
// Python call. Plain pointers: the cache lives as long as the process.
class ClassCache {
 public:
  bool init();
  // The stored value, or nullptr (without an error) when there is none.
  Ref find(PyObject* cls) const;
  // Stores `value` for `cls`; false with an error set when `cls` cannot be
  // weakly referenced.
  bool store(PyObject* cls, PyObject* value);

 private:
  struct Entry {
    PyObject* weak_class;
    PyObject* value;
  };
  static PyObject* forget(PyObject* self, PyObject* weak_class);

  std::unordered_map<PyObject*, Entry>* entries_ = nullptr;
  PyObject* on_collect_ = nullptr;  // the weakref callback, bound to this cache
};

// `super(owner, obj).name`: looks `name` up along the MRO of `obj` (or of the
// class `obj`) after `owner`, binding descriptors as `super` does.
Ref super_attr(PyObject* owner, PyObject* obj, PyObject* name);

}  // namespace quorvel::rt
