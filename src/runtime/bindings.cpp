// The dictionary watcher shared by the package's modules.
#include "bindings.hpp"

namespace quorvel::rt {
namespace {

constexpr const char* kCapsuleName = "nimbrel.quorvel.namespace_generation";

// What the capsule holds: the counter and the watcher that advances it. Made by the first module of the
// package to load; its shared library is never unloaded, so the callback stays valid.
struct SharedWatch {
  std::uint64_t counter = 1;
  int watcher = -1;
};

SharedWatch* made_here = nullptr;

int advance(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++made_here->counter;
  return 0;
}

// The shared watch of this interpreter, made now when no module has made it yet.
SharedWatch* shared_watch() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter state dict");
    return nullptr;
  }
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(state, kCapsuleName, &found) < 0) return nullptr;
  if (found != nullptr) {
    Ref capsule = Ref::steal(found);
    return static_cast<SharedWatch*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  }
  made_here = new SharedWatch();
  made_here->watcher = PyDict_AddWatcher(advance);
  if (made_here->watcher < 0) return nullptr;
  Ref capsule = Ref::steal(PyCapsule_New(made_here, kCapsuleName, nullptr));
  if (!capsule || PyDict_SetItemString(state, kCapsuleName, capsule) < 0) return nullptr;
  return made_here;
}

}  // namespace

bool NamespaceGeneration::watch(PyObject* dict) {
  static SharedWatch* watch = nullptr;
  if (watch == nullptr && (watch = shared_watch()) == nullptr) return false;
  if (PyDict_Watch(watch->watcher, dict) < 0) return false;
  counter_ = &watch->counter;
  // Whatever this module read before its namespace was watched is read again.
  ++watch->counter;
  return true;
}

}  // namespace quorvel::rt
