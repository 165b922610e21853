// Knowing cheaply whether a binding is still the one the library made: a module global (through a shared
// dictionary watcher) or a class attribute found through the MRO (through the interpreter's type lookup).
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "ref.hpp"

namespace quorvel::rt {

// The generation of the package's module namespaces. Every module watches its namespace with one dictionary
// watcher that all modules share (an interpreter has only eight), found through a capsule in the interpreter's
// state dict; any assignment to or deletion from a watched namespace advances the generation. A value read from
// a namespace is still its binding while the generation has not moved.
class NamespaceGeneration {
 public:
  // Starts watching `dict`, creating the shared watcher on first use.
  static bool watch(PyObject* dict);

  static std::uint64_t current() { return *counter_; }

 private:
  static inline std::uint64_t unwatched_ = 0;
  // Points at the shared counter once a namespace is watched.
  static inline std::uint64_t* counter_ = &unwatched_;
};

// Whether `cls` (any object) is a class on which looking up `name` finds `own` itself through its MRO: no class
// of the MRO overrides it, the class's metaclass neither defines `name` nor looks attributes up in its own way.
// This is the proof that `cls.name` is still the library's own classmethod or method.
inline bool inherits_own(PyObject* cls, PyObject* name, PyObject* own) {
  if (!PyType_Check(cls) || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro) return false;
  return mro_finds(reinterpret_cast<PyTypeObject*>(cls), name, own) && !mro_lookup(Py_TYPE(cls), name);
}

}  // namespace quorvel::rt
