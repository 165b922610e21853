// Building classes through their real metaclasses, and `super()` lookups.
#include "classes.hpp"

#include "compat.hpp"
#include "module.hpp"
#include "names.hpp"

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
  Ref args = tuple_of(name_.get(), bases, namespace_.get());
  if (!args) return nullptr;
  return adopt(Ref::steal(PyObject_Call(metaclass, args, kwargs)));
}

namespace {

// exec_body for types.new_class: `self` is the namespace we collected.
PyObject* fill_namespace(PyObject* collected, PyObject* ns) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(collected, &position, &key, &value)) {
    if (PyObject_SetItem(ns, key, value) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef fill_namespace_def = {"exec_body", fill_namespace, METH_O, nullptr};

}  // namespace

Ref ClassBuilder::create_from_bases(PyObject* bases, PyObject* kwds) {
  if (!ok()) return nullptr;
  Ref new_class = import_from("types", "new_class");
  Ref body = Ref::steal(PyCFunction_New(&fill_namespace_def, namespace_));
  if (!new_class || !body) return nullptr;
  Ref args = tuple_of(name_.get(), bases, kwds ? kwds : Py_None, body.get());
  if (!args) return nullptr;
  return adopt(Ref::steal(PyObject_Call(new_class, args, nullptr)));
}

// classmethod and staticmethod do not forward __set_name__, so the owner
// (needed for super()) is recorded here for every kind of method.
Ref ClassBuilder::adopt(Ref cls) {
  if (!cls) return nullptr;
  for (Ref& fn : functions_) {
    auto* function = reinterpret_cast<Function*>(fn.get());
    Py_XSETREF(function->owner, Py_NewRef(cls.get()));
  }
  return cls;
}

namespace {

// ABCMeta's hook `hook_name` and the C check behind it.
struct AbcCheck {
  const char* hook_name;
  const char* check_name;
  PyObject* hook = nullptr;
  PyObject* check = nullptr;
  PyObject* name = nullptr;
  bool tried = false;

  // The C check when `cls`'s metaclass resolves the hook to ABCMeta's own.
  PyObject* direct_for(PyObject* cls) {
    if (!tried) load();
    if (check == nullptr || !PyType_Check(cls)) return nullptr;
    return mro_finds(Py_TYPE(cls), name, hook) ? check : nullptr;
  }

  void load() {
    tried = true;
    Ref meta = import_from("abc", "ABCMeta");
    Ref direct = import_from("_abc", check_name);
    name = PyUnicode_InternFromString(hook_name);
    if (meta && direct && name) {
      hook = mro_lookup(reinterpret_cast<PyTypeObject*>(meta.get()), name).release();
      check = hook ? direct.release() : nullptr;
    }
    // Without them every check simply takes the general path.
    PyErr_Clear();
  }
};

AbcCheck abc_instance_check = {"__instancecheck__", "_abc_instancecheck"};
AbcCheck abc_subclass_check = {"__subclasscheck__", "_abc_subclasscheck"};

int call_check(PyObject* check, PyObject* cls, PyObject* obj) {
  PyObject* args[] = {cls, obj};
  Ref verdict = Ref::steal(PyObject_Vectorcall(check, args, 2, nullptr));
  return verdict ? PyObject_IsTrue(verdict) : -1;
}

}  // namespace

// abc answers "yes" for a real subclass unless the ABC's __subclasshook__
// says otherwise; with object's own hook (which has no opinion) the answer
// needs no cache lookup at all.
bool real_subclass_suffices(PyObject* cls, PyObject* derived) {
  // object's namespace keeps it alive.
  static PyObject* object_hook = mro_lookup(&PyBaseObject_Type, kDunderSubclasshook).get();
  if (!PyType_Check(derived) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(derived),
                                                  reinterpret_cast<PyTypeObject*>(cls))) {
    return false;
  }
  return mro_finds(reinterpret_cast<PyTypeObject*>(cls), kDunderSubclasshook, object_hook);
}

int equal(PyObject* a, PyObject* b) {
  if (a == b) return 1;
  richcmpfunc plain = PyBaseObject_Type.tp_richcompare;
  if (Py_TYPE(a)->tp_richcompare == plain && Py_TYPE(b)->tp_richcompare == plain) return 0;
  return PyObject_RichCompareBool(a, b, Py_EQ);
}

int tuple_contains(PyObject* container, PyObject* item) {
  if (!PyTuple_CheckExact(container)) return PySequence_Contains(container, item);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(container); ++i) {
    int found = equal(PyTuple_GET_ITEM(container, i), item);
    if (found != 0) return found;
  }
  return 0;
}

int is_instance(PyObject* obj, PyObject* cls) {
  if (Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(cls))) return 1;
  PyObject* check = abc_instance_check.direct_for(cls);
  if (check == nullptr) return PyObject_IsInstance(obj, cls);
  if (real_subclass_suffices(cls, reinterpret_cast<PyObject*>(Py_TYPE(obj)))) return 1;
  return call_check(check, cls, obj);
}

int is_subclass(PyObject* derived, PyObject* cls) {
  PyObject* check = abc_subclass_check.direct_for(cls);
  if (check == nullptr) return PyObject_IsSubclass(derived, cls);
  if (real_subclass_suffices(cls, derived)) return 1;
  return call_check(check, cls, derived);
}

bool always_instance(PyTypeObject* type, PyObject* cls) {
  if (!PyType_Check(cls)) return false;
  if (abc_instance_check.direct_for(cls) != nullptr) return real_subclass_suffices(cls, reinterpret_cast<PyObject*>(type));
  return Py_IS_TYPE(cls, &PyType_Type) && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls));
}

namespace {

// typing.get_origin and typing.Generic, or nullptr when they cannot be had
// (every call is then simply asked).
struct TypingOrigin {
  PyObject* get_origin = nullptr;
  PyObject* generic = nullptr;

  TypingOrigin() {
    get_origin = import_from("typing", "get_origin").release();
    generic = import_from("typing", "Generic").release();
    if (!get_origin || !generic) PyErr_Clear();
  }
};

}  // namespace

Ref typing_origin(const Global& get_origin, PyObject* tp) {
  static TypingOrigin typing;
  Ref fn = get_origin.get();
  if (!fn) return nullptr;
  if (fn.get() == typing.get_origin && typing.generic != nullptr) {
    if (PyType_Check(tp)) return Ref::borrow(tp == typing.generic ? typing.generic : Py_None);
    if (Py_IS_TYPE(tp, &Py_GenericAliasType)) return Ref::steal(PyObject_GetAttr(tp, kDunderOrigin));
  }
  return Ref::steal(PyObject_CallOneArg(fn, tp));
}

bool ClassCache::init() {
  static PyMethodDef forget_def = {"forget", forget, METH_O, nullptr};
  Ref self = Ref::steal(PyCapsule_New(this, nullptr, nullptr));
  on_collect_ = self ? PyCFunction_New(&forget_def, self) : nullptr;
  if (on_collect_ == nullptr) return false;
  entries_ = new std::unordered_map<PyObject*, Entry>();
  return true;
}

Ref ClassCache::find(PyObject* cls) const {
  auto found = entries_->find(cls);
  if (found == entries_->end()) return nullptr;
  // The address is only a key: the class behind it must still be this one.
  PyObject* alive = nullptr;
  if (PyWeakref_GetRef(found->second.weak_class, &alive) <= 0) {
    PyErr_Clear();
    return nullptr;
  }
  Py_DECREF(alive);
  return alive == cls ? Ref::borrow(found->second.value) : nullptr;
}

bool ClassCache::store(PyObject* cls, PyObject* value) {
  PyObject* weak_class = PyWeakref_NewRef(cls, on_collect_);
  if (weak_class == nullptr) return false;
  auto [slot, inserted] = entries_->try_emplace(cls, Entry{weak_class, Py_NewRef(value)});
  if (!inserted) {
    Entry previous = slot->second;
    slot->second = {weak_class, Py_NewRef(value)};
    Py_DECREF(previous.weak_class);
    Py_DECREF(previous.value);
  }
  return true;
}

// Called when a cached class is collected: its entry goes.
PyObject* ClassCache::forget(PyObject* self, PyObject* weak_class) {
  auto* cache = static_cast<ClassCache*>(PyCapsule_GetPointer(self, nullptr));
  if (cache == nullptr) return nullptr;
  for (auto entry = cache->entries_->begin(); entry != cache->entries_->end(); ++entry) {
    if (entry->second.weak_class != weak_class) continue;
    Entry removed = entry->second;
    cache->entries_->erase(entry);
    Py_DECREF(removed.weak_class);
    Py_DECREF(removed.value);
    break;
  }
  Py_RETURN_NONE;
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
    if (!mro_lookup(meta, name)) {
      Ref found = mro_lookup(reinterpret_cast<PyTypeObject*>(obj), name);
      if (!found || Py_TYPE(found.get())->tp_descr_get == nullptr) {
        *result = found.release();
        return *result != nullptr;
      }
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
