// Building classes through their real metaclasses, and `super()` lookups.
#include "classes.hpp"

namespace quorvel::rt {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_name_(Ref::steal(PyModule_GetNameObject(module))),
      name_(Ref::steal(PyUnicode_FromString(name))),
      namespace_(Ref::steal(PyDict_New())) {
  ok_ = module_name_ && name_ && namespace_;
  if (!ok_) return;
  ok_ = PyDict_SetItemString(namespace_, "__module__", module_name_) == 0 &&
        PyDict_SetItemString(namespace_, "__qualname__", name_) == 0;
  if (ok_ && doc != nullptr) set("__doc__", PyUnicode_FromString(doc));
}

ClassBuilder& ClassBuilder::annotate(const char* name, const char* annotation) {
  if (!ok()) return *this;
  if (!annotations_) {
    annotations_ = Ref::steal(PyDict_New());
    if (!annotations_ || PyDict_SetItemString(namespace_, "__annotations__", annotations_) < 0) {
      fail();
      return *this;
    }
  }
  Ref text = Ref::steal(PyUnicode_FromString(annotation));
  if (!text || PyDict_SetItemString(annotations_, name, text) < 0) fail();
  return *this;
}

ClassBuilder& ClassBuilder::set(const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!ok()) return *this;
  // PyObject_SetItem, not PyDict_SetItem: the namespace of an Enum class is a
  // dict subclass that turns entries into members only through __setitem__.
  if (!owned || PyMapping_SetItemString(namespace_, name, owned) < 0) fail();
  return *this;
}

Ref ClassBuilder::function(const FunctionSpec& spec) {
  if (!ok()) return nullptr;
  Ref fn = Ref::steal(make_function(spec, module_name_, name_));
  if (!fn) {
    fail();
    return nullptr;
  }
  functions_.push_back(fn);
  return fn;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& spec) { return set(spec.name, function(spec).release()); }

ClassBuilder& ClassBuilder::wrapped(const FunctionSpec& spec, PyObject* (*wrap)(PyObject*)) {
  Ref fn = function(spec);
  return set(spec.name, fn ? wrap(fn) : nullptr);
}

ClassBuilder& ClassBuilder::class_method(const FunctionSpec& spec) { return wrapped(spec, PyClassMethod_New); }

ClassBuilder& ClassBuilder::static_method(const FunctionSpec& spec) { return wrapped(spec, PyStaticMethod_New); }

Ref ClassBuilder::create(PyObject* metaclass, PyObject* bases, PyObject* kwargs) {
  if (!ok()) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(3, name_.get(), bases, namespace_.get()));
  if (!args) return nullptr;
  Ref cls = Ref::steal(PyObject_Call(metaclass, args, kwargs));
  if (!cls) return nullptr;
  // classmethod and staticmethod do not forward __set_name__, so the owner
  // (needed for super()) is recorded here for every kind of method.
  for (Ref& fn : functions_) {
    auto* function = reinterpret_cast<Function*>(fn.get());
    Py_XSETREF(function->owner, Py_NewRef(cls.get()));
  }
  return cls;
}

namespace {

// The class whose MRO `super(owner, obj)` walks, as the interpreter picks it.
PyTypeObject* super_start(PyObject* owner, PyObject* obj) {
  if (PyType_Check(obj) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj), reinterpret_cast<PyTypeObject*>(owner))) {
    return reinterpret_cast<PyTypeObject*>(obj);
  }
  return Py_TYPE(obj);
}

}  // namespace

int optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
  PyTypeObject* meta = Py_TYPE(obj);
  if (PyType_Check(obj) && meta->tp_getattro == PyType_Type.tp_getattro) {
    // type's lookup: data descriptors of the metaclass first, then the MRO.
    PyObject* meta_attr = _PyType_LookupRef(meta, name);
    if (meta_attr == nullptr) {
      PyObject* found = _PyType_LookupRef(reinterpret_cast<PyTypeObject*>(obj), name);
      if (found == nullptr || Py_TYPE(found)->tp_descr_get == nullptr) {
        *result = found;
        return found != nullptr;
      }
      Py_DECREF(found);
    } else {
      Py_DECREF(meta_attr);
    }
  }
  return PyObject_GetOptionalAttr(obj, name, result);
}

Ref attr(PyObject* obj, PyObject* name) {
  PyObject* result = nullptr;
  if (optional_attr(obj, name, &result) != 0) return Ref::steal(result);
  // Absent: let the interpreter raise its own AttributeError.
  return Ref::steal(PyObject_GetAttr(obj, name));
}

Ref super_attr(PyObject* owner, PyObject* obj, PyObject* name) {
  PyTypeObject* start = super_start(owner, obj);
  PyObject* mro = start->tp_mro;
  Py_ssize_t count = PyTuple_GET_SIZE(mro);
  Py_ssize_t index = 0;
  while (index < count && PyTuple_GET_ITEM(mro, index) != owner) ++index;
  for (++index; index < count; ++index) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
    Ref dict = Ref::steal(PyType_GetDict(type));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemRef(dict, name, &found) < 0) return nullptr;
    if (found == nullptr) continue;
    Ref value = Ref::steal(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return value;
    PyObject* instance = obj == reinterpret_cast<PyObject*>(start) ? nullptr : obj;
    return Ref::steal(get(found, instance, reinterpret_cast<PyObject*>(start)));
  }
  PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
  return nullptr;
}

}  // namespace quorvel::rt
