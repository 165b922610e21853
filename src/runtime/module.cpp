// Module set-up: interned names, imports, exposing functions, module definition.
#include "module.hpp"

#include "errors.hpp"

namespace quorvel::rt {

bool Name::intern_all() {
  for (Name* name = head_; name != nullptr; name = name->next_) {
    if (name->obj_ != nullptr) continue;
    name->obj_ = PyUnicode_InternFromString(name->text_);
    if (name->obj_ == nullptr) return false;
  }
  return true;
}

Ref Global::read() const {
  std::uint64_t now = NamespaceGeneration::current();
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(namespace_, key_, &value) == 0) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key_);
  }
  Py_XSETREF(value_, Py_XNewRef(value));
  generation_ = value ? now : 0;
  return Ref::steal(value);
}

bool Global::bind_all(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);
  if (!NamespaceGeneration::watch(dict)) return false;
  for (Global* global = head_; global != nullptr; global = global->next_) {
    if (global->key_ == nullptr && !(global->key_ = PyUnicode_InternFromString(global->name_))) return false;
    Py_XSETREF(global->namespace_, Py_NewRef(dict));
    global->generation_ = 0;
  }
  return true;
}

bool Keywords::create_all() {
  for (Keywords* keywords = head_; keywords != nullptr; keywords = keywords->next_) {
    if (keywords->obj_ != nullptr) continue;
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords->count_)));
    if (!tuple) return false;
    for (std::size_t i = 0; i < keywords->count_; ++i) {
      PyObject* name = PyUnicode_InternFromString(keywords->names_[i]);
      if (name == nullptr) return false;
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    keywords->obj_ = tuple.release();
  }
  return true;
}

Ref call_global(const Global& global, PyObject* arg) {
  Ref fn = global.get();
  return fn ? Ref::steal(PyObject_CallOneArg(fn, arg)) : nullptr;
}

PyObject* raise_global(const Global& error_class, PyObject* message) {
  Ref owned = Ref::steal(message);
  Ref cls = owned ? error_class.get() : nullptr;
  return cls ? raise(cls, owned) : nullptr;
}

int pending_is(const Global& error_class) {
  PyObject* pending = PyErr_GetRaisedException();
  Ref cls = error_class.get();
  if (!cls) {
    Py_XDECREF(pending);
    return -1;
  }
  int matches = PyErr_GivenExceptionMatches(pending, cls);
  PyErr_SetRaisedException(pending);
  return matches;
}

Ref import_from(const char* module, const char* name) {
  Ref imported = Ref::steal(PyImport_ImportModule(module));
  if (!imported) return nullptr;
  return Ref::steal(PyObject_GetAttrString(imported, name));
}

bool bind_from(PyObject* module, const char* from_module, const char* name) {
  return add_object(module, name, import_from(from_module, name).release());
}

bool bind_module(PyObject* module, const char* module_name) {
  return add_object(module, module_name, PyImport_ImportModule(module_name));
}

PyObject* make_type_var(PyObject* module, const char* name, PyObject* bound) {
  Ref factory = Ref::steal(PyObject_GetAttrString(module, "TypeVar"));
  Ref args = Ref::steal(Py_BuildValue("(s)", name));
  Ref kwargs = Ref::steal(bound ? Py_BuildValue("{sO}", "bound", bound) : PyDict_New());
  if (!factory || !args || !kwargs) return nullptr;
  Ref var = Ref::steal(PyObject_Call(factory, args, kwargs));
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!var || !module_name || PyObject_SetAttrString(var, "__module__", module_name) < 0) return nullptr;
  return var.release();
}

bool bind_imports(PyObject* module, std::initializer_list<Import> imports) {
  for (const Import& import : imports) {
    if (!(import.from ? bind_from(module, import.from, import.name) : bind_module(module, import.name))) return false;
  }
  return true;
}

bool add_function(PyObject* module, const FunctionSpec& spec) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  return add_object(module, spec.name, make_function(spec, module_name));
}

bool add_object(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  return PyModule_Add(module, name, value) == 0;
}

}  // namespace quorvel::rt
