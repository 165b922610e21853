// Module set-up: interned names, imports, exposing functions, module definition.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "bindings.hpp"
#include "errors.hpp"
#include "function.hpp"

namespace quorvel::rt {

// An interned string created once when the module loads. Declare them at
// namespace scope; `intern_all` (called by the module's exec step) creates
// every one declared in the shared library.
class Name {
 public:
  explicit Name(const char* text) : text_(text), next_(head_) { head_ = this; }
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }

  static bool intern_all();

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
  Name* next_;
  static inline Name* head_ = nullptr;
};

// A name of the module's own namespace, read as a global of Python code is:
// patching the module attribute takes effect at the next use. The value read
// is kept until any of the package's namespaces changes, so the usual use
// costs a comparison.
class Global {
 public:
  explicit Global(const char* name) : name_(name), next_(head_) { head_ = this; }
  Global(const Global&) = delete;
  Global& operator=(const Global&) = delete;

  // The current value, or nullptr with NameError set.
  Ref get() const {
    if (generation_ == NamespaceGeneration::current()) return Ref::borrow(value_);
    return read();
  }

  // Whether the name is bound to `expected` now: the proof that calling it
  // runs the object the library bound. A missing name is not `expected`.
  bool is(PyObject* expected) const {
    if (generation_ != NamespaceGeneration::current() && !read()) {
      PyErr_Clear();
      return false;
    }
    return value_ == expected;
  }

  // Binds every Global declared in the shared library to `module`.
  static bool bind_all(PyObject* module);

 private:
  Ref read() const;

  const char* name_;
  PyObject* key_ = nullptr;
  PyObject* namespace_ = nullptr;
  // The value last read and the generation it was read in (0: never).
  mutable PyObject* value_ = nullptr;
  mutable std::uint64_t generation_ = 0;
  Global* next_;
  static inline Global* head_ = nullptr;
};

// Keyword names of a vectorcall, as a tuple created once with the interned
// names (declare at namespace scope, like Name).
class Keywords {
 public:
  template <std::size_t N>
  explicit Keywords(const char* const (&names)[N]) : count_(N), next_(head_) {
    static_assert(N <= kMaxNames, "room for more keyword names is needed");
    for (std::size_t i = 0; i < N; ++i) names_[i] = names[i];
    head_ = this;
  }
  Keywords(const Keywords&) = delete;
  Keywords& operator=(const Keywords&) = delete;

  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }

  static bool create_all();

 private:
  static constexpr std::size_t kMaxNames = 4;
  const char* names_[kMaxNames] = {};
  std::size_t count_ = 0;
  PyObject* obj_ = nullptr;
  Keywords* next_;
  static inline Keywords* head_ = nullptr;
};

// `global(arg)`: calls a module-level name as it is bound now.
Ref call_global(const Global& global, PyObject* arg);

// Raises `error_class(message)`, the module-level error class as bound now.
// Steals `message`, which may be nullptr with an error already set.
// Returns nullptr.
PyObject* raise_global(const Global& error_class, PyObject* message);

// Inside a handler: raises `error_class(make_message(caught))`, with the
// caught exception (the one currently raised) chained as cause and context,
// or as context only. The message is built while the caught exception is
// held aside, as building it may run Python code. Returns nullptr.
template <typename MakeMessage>
PyObject* reraise(const Global& error_class, bool as_cause, MakeMessage make_message) {
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  Ref message = make_message(caught.get());
  Ref cls = message ? error_class.get() : nullptr;
  if (!cls) return nullptr;
  PyErr_SetRaisedException(caught.release());
  return as_cause ? raise_from(cls, message) : raise_in_handler(cls, message);
}

// Whether the pending exception is an instance of the module global
// `error_class`: 1 or 0 with the exception still pending, -1 when the class
// itself cannot be had (that error then replaces it). The lookup runs with the
// exception held aside, as no lookup may run while one is pending.
int pending_is(const Global& error_class);

// `from module import name`, as a new reference.
Ref import_from(const char* module, const char* name);

// Sets `module.name = from_module.name`, as a Python `from ... import` does.
bool bind_from(PyObject* module, const char* from_module, const char* name);

// Binds `import module_name` under its own name.
bool bind_module(PyObject* module, const char* module_name);

// One module-level import: `from <from> import <name>`, or `import <name>`
// when `from` is nullptr.
struct Import {
  const char* from;
  const char* name;
};

// Binds the imports in order, as the top of a Python module would.
bool bind_imports(PyObject* module, std::initializer_list<Import> imports);

// `TypeVar(name)` or `TypeVar(name, bound=bound)` through the module's own
// `TypeVar` binding, attributed to the module.
PyObject* make_type_var(PyObject* module, const char* name, PyObject* bound = nullptr);

// Creates the callable for `spec` and stores it as a module attribute.
bool add_function(PyObject* module, const FunctionSpec& spec);

// Stores a value as a module attribute; steals `value` (nullptr passes an
// error through).
bool add_object(PyObject* module, const char* name, PyObject* value);

}  // namespace quorvel::rt

// Defines the module's init function with multi-phase initialisation: the
// module is in sys.modules while `exec` runs, which pydantic and dataclasses
// need while our classes are created.
#define QUORVEL_MODULE(short_name, doc, exec)                                                 \
  static PyModuleDef_Slot short_name##_slots[] = {                                            \
      {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* m) -> int {                         \
         return quorvel::rt::Name::intern_all() && quorvel::rt::Keywords::create_all() &&     \
                quorvel::rt::Global::bind_all(m) && (exec)(m) ? 0 : -1;                     \
       })},                                                                                   \
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},             \
      {Py_mod_gil, Py_MOD_GIL_USED},                                                          \
      {0, nullptr}};                                                                          \
  static PyModuleDef short_name##_def = {                                                     \
      PyModuleDef_HEAD_INIT, #short_name, doc, 0, nullptr, short_name##_slots, nullptr, nullptr, nullptr}; \
  PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&short_name##_def); }
