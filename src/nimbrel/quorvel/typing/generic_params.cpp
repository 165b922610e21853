// Generic classes whose subscriptions are real, cached classes that remember their arguments.
#include <cstdint>

#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kDunderInit("__init__");
rt::Name kDunderInitSubclass("__init_subclass__");
rt::Name kDunderEnter("__enter__");
rt::Name kDunderExit("__exit__");
rt::Name kCache("_cache");
rt::Name kLock("_lock");
rt::Name kData("data");
rt::Name kNewClass("new_class");
rt::Name kExecBody("exec_body");

rt::Global kTypes("types");
rt::Global kTypeResolutionError("QuorvelTypeResolutionError");

// GenericWithArgs._cache and its storage dict, set when the module loads.
PyObject* shared_cache = nullptr;
PyObject* shared_cache_data = nullptr;

// `cls.__origin__ or cls`
Ref origin_of(PyObject* cls) {
  Ref origin = rt::attr(cls, kDunderOrigin);
  if (!origin) return nullptr;
  int truthy = PyObject_IsTrue(origin);
  if (truthy < 0) return nullptr;
  return truthy ? origin : Ref::borrow(cls);
}

PyObject* raise_not_parametrized(PyObject* origin, const char* format) {
  Ref name = Ref::steal(PyObject_GetAttr(origin, kDunderName));
  Ref cls = name ? kTypeResolutionError.get() : nullptr;
  if (!cls) return nullptr;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(name.get())->tp_name);
    return nullptr;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat(format, name.get(), name.get()));
  return message ? rt::raise(cls, message) : nullptr;
}

// --- GenericWithArgs methods -------------------------------------------------

PyObject* generic_init(rt::Function* fn, PyObject* const* args) {
  PyObject* self = args[0];
  Ref base_init = rt::super_attr(fn->owner, self, kDunderInit);
  if (!base_init) return nullptr;
  Ref done = Ref::steal(PyObject_Call(base_init, args[1], args[2]));
  if (!done) return nullptr;
  Ref type_args = Ref::steal(PyObject_GetAttr(self, kDunderTypeArgs));
  if (!type_args) return nullptr;
  if (type_args.get() != Py_None) Py_RETURN_NONE;
  // `self.__origin__ or type(self)`: read through the instance.
  Ref own = Ref::steal(PyObject_GetAttr(self, kDunderOrigin));
  if (!own) return nullptr;
  int truthy = PyObject_IsTrue(own);
  if (truthy < 0) return nullptr;
  PyObject* origin = truthy ? own.get() : reinterpret_cast<PyObject*>(Py_TYPE(self));
  return raise_not_parametrized(origin, "%U must be parametrized, e.g. %U[T](...).");
}

// A direct generic subclass is its own origin; a parametrised class keeps the
// origin its namespace set, and a further subclass inherits its base's.
PyObject* generic_init_subclass(rt::Function* fn, PyObject* const* args) {
  PyObject* cls = args[0];
  Ref base_hook = rt::super_attr(fn->owner, cls, kDunderInitSubclass);
  if (!base_hook) return nullptr;
  Ref done = Ref::steal(PyObject_CallNoArgs(base_hook));
  if (!done) return nullptr;
  Ref origin = origin_of(cls);
  if (!origin || PyObject_SetAttr(cls, kDunderOrigin, origin) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* generic_typing_alias(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  Ref origin = origin_of(cls);
  if (!origin) return nullptr;
  Ref type_args = Ref::steal(PyObject_GetAttr(cls, kDunderTypeArgs));
  if (!type_args) return nullptr;
  if (type_args.get() == Py_None) return raise_not_parametrized(origin, "%U is not parametrized.");
  Py_ssize_t count = PyObject_Length(type_args);
  if (count < 0) return nullptr;
  if (count != 1) return Py_GenericAlias(origin, type_args);
  Ref only = Ref::steal(PySequence_GetItem(type_args, 0));
  return only ? Py_GenericAlias(origin, only) : nullptr;
}

// Recent subscriptions of classes that use the shared cache, by identity of
// origin and item: a hit costs neither the key tuples nor the dictionary
// lookup. Any change to the cache's storage (a class created or collected, a
// clear) starts a new generation and retires every entry, so a hit returns
// exactly what the dictionary would. Plain pointers rather than Refs: the
// table lives until the process ends, after the interpreter is gone.
class RecentSubscriptions {
 public:
  bool watch(PyObject* storage) {
    int watcher = PyDict_AddWatcher(+[](PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) -> int {
      ++generation_;
      return 0;
    });
    return watcher >= 0 && PyDict_Watch(watcher, storage) == 0;
  }

  // The class subscribed last as origin[item], if still valid and alive.
  Ref find(PyObject* origin, PyObject* item) const {
    const Entry& entry = entries_[slot(origin, item)];
    if (entry.generation != generation_ || entry.origin != origin || entry.item != item) return nullptr;
    PyObject* cls = nullptr;
    return PyWeakref_GetRef(entry.weak_class, &cls) > 0 ? Ref::steal(cls) : nullptr;
  }

  bool remember(PyObject* origin, PyObject* item, PyObject* cls) {
    static PyMethodDef forget_def = {"forget", forget, METH_O, nullptr};
    static PyObject* on_collect = nullptr;  // made on first use; a failure is retried
    if (on_collect == nullptr && (on_collect = PyCFunction_New(&forget_def, nullptr)) == nullptr) return false;
    PyObject* weak_class = PyWeakref_NewRef(cls, on_collect);
    if (weak_class == nullptr) return false;
    Entry& entry = entries_[slot(origin, item)];
    Entry previous = entry;
    entry = {Py_NewRef(origin), Py_NewRef(item), weak_class, generation_};
    previous.release();
    return true;
  }

 private:
  // Called when a remembered class is collected: its entry lets go of the
  // origin and the item, so the table never keeps them alive longer than the
  // class itself does.
  static PyObject* forget(PyObject*, PyObject* weak_class);

  struct Entry {
    PyObject* origin = nullptr;
    PyObject* item = nullptr;
    PyObject* weak_class = nullptr;
    unsigned long long generation = 0;

    void release() {
      Py_XDECREF(origin);
      Py_XDECREF(item);
      Py_XDECREF(weak_class);
    }
  };
  static constexpr size_t kSize = 64;

  static size_t slot(PyObject* origin, PyObject* item) {
    auto mixed = reinterpret_cast<uintptr_t>(origin) ^ (reinterpret_cast<uintptr_t>(item) >> 4);
    return (mixed >> 4) % kSize;
  }

  Entry entries_[kSize];
  static inline unsigned long long generation_ = 1;
};

RecentSubscriptions recent_subscriptions;

PyObject* RecentSubscriptions::forget(PyObject*, PyObject* weak_class) {
  for (Entry& entry : recent_subscriptions.entries_) {
    if (entry.weak_class != weak_class) continue;
    Entry gone = entry;
    entry = {};
    gone.release();
  }
  Py_RETURN_NONE;
}

// `cache.get(key)`. For the cache every generic class shares, the weak
// reference is read straight from the dictionary's storage: the same answer
// without a Python-level call. (WeakValueDictionary never replaces `data`.)
Ref cached_class(PyObject* cache, PyObject* key) {
  if (cache != shared_cache) return Ref::steal(PyObject_CallMethodOneArg(cache, kGet, key));
  PyObject* weak = nullptr;
  if (PyDict_GetItemRef(shared_cache_data, key, &weak) < 0) return nullptr;
  if (weak == nullptr) return Ref::borrow(Py_None);
  Ref owned_weak = Ref::steal(weak);
  PyObject* cls = nullptr;
  if (PyWeakref_GetRef(weak, &cls) < 0) return nullptr;
  return cls ? Ref::steal(cls) : Ref::borrow(Py_None);
}

// The namespace initialiser of a parametrised class: `(origin, args)` is
// bound as `self`.
PyObject* parametrised_body(PyObject* state, PyObject* ns) {
  if (PyObject_SetItem(ns, kDunderOrigin, PyTuple_GET_ITEM(state, 0)) < 0) return nullptr;
  if (PyObject_SetItem(ns, kDunderTypeArgs, PyTuple_GET_ITEM(state, 1)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef parametrised_body_def = {"body", parametrised_body, METH_O, nullptr};

// types.new_class(origin.__name__ + "[...]", (origin,), exec_body=body)
Ref new_parametrised_class(PyObject* origin, PyObject* args) {
  Ref name = Ref::steal(PyObject_GetAttr(origin, kDunderName));
  Ref suffix = Ref::steal(PyUnicode_FromString("[...]"));
  if (!name || !suffix) return nullptr;
  Ref class_name = Ref::steal(PyUnicode_Concat(name, suffix));
  Ref state = Ref::steal(PyTuple_Pack(2, origin, args));
  if (!class_name || !state) return nullptr;
  Ref body = Ref::steal(PyCFunction_New(&parametrised_body_def, state));
  Ref types = kTypes.get();
  if (!body || !types) return nullptr;
  Ref new_class = Ref::steal(PyObject_GetAttr(types, kNewClass));
  Ref bases = Ref::steal(PyTuple_Pack(1, origin));
  Ref call_args = Ref::steal(PyTuple_Pack(2, class_name.get(), bases.get()));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!new_class || !bases || !call_args || !kwargs || PyDict_SetItem(kwargs, kExecBody, body) < 0) return nullptr;
  Ref sub = Ref::steal(PyObject_Call(new_class, call_args, kwargs));
  if (!sub) return nullptr;
  Ref module = Ref::steal(PyObject_GetAttr(origin, kDunderModule));
  if (!module || PyObject_SetAttr(sub, kDunderModule, module) < 0) return nullptr;
  return sub;
}

// Looks the key up again and creates the class when still missing; the
// caller holds the lock, so one thread creates each class.
Ref find_or_create(PyObject* origin, PyObject* cache, PyObject* key, PyObject* args) {
  Ref cached = cached_class(cache, key);
  if (!cached || cached.get() != Py_None) return cached;
  Ref sub = new_parametrised_class(origin, args);
  if (!sub || PyObject_SetItem(cache, key, sub) < 0) return nullptr;
  return sub;
}

// `with lock: return find_or_create(...)`
Ref find_or_create_locked(PyObject* origin, PyObject* cache, PyObject* key, PyObject* args) {
  Ref lock = Ref::steal(PyObject_GetAttr(origin, kLock));
  if (!lock) return nullptr;
  Ref exit = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(lock.get())), kDunderExit));
  if (!exit) return nullptr;
  Ref entered = Ref::steal(PyObject_CallMethodNoArgs(lock, kDunderEnter));
  if (!entered) return nullptr;
  Ref result = find_or_create(origin, cache, key, args);
  // __exit__ sees the failure, if any; its own failure replaces it, with the
  // failure as context, as a with statement has it.
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  Ref traceback = pending ? Ref::steal(PyException_GetTraceback(pending)) : nullptr;
  PyObject* failure_type = pending ? reinterpret_cast<PyObject*>(Py_TYPE(pending.get())) : Py_None;
  Ref exit_args = Ref::steal(PyTuple_Pack(4, lock.get(), failure_type, pending ? pending.get() : Py_None,
                                          traceback ? traceback.get() : Py_None));
  Ref exited = exit_args ? Ref::steal(PyObject_Call(exit, exit_args, nullptr)) : nullptr;
  if (!exited) {
    if (pending) {
      PyObject* replaced = PyErr_GetRaisedException();
      PyException_SetContext(replaced, pending.release());
      PyErr_SetRaisedException(replaced);
    }
    return nullptr;
  }
  if (!pending) return result;
  PyErr_SetRaisedException(pending.release());
  return nullptr;
}

PyObject* generic_class_getitem(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* item = args[1];
  Ref type_args = PyTuple_Check(item) ? Ref::borrow(item) : rt::tuple_of(item);
  Ref origin = origin_of(cls);
  if (!type_args || !origin) return nullptr;
  Ref cache = rt::attr(origin, kCache);
  if (!cache) return nullptr;
  bool shared = cache.get() == shared_cache;
  if (shared) {
    if (Ref known = recent_subscriptions.find(origin, item)) return known.release();
  }
  Ref key = rt::tuple_of(origin.get(), type_args.get());
  if (!key) return nullptr;
  Ref cached = cached_class(cache, key);
  if (!cached) return nullptr;
  if (cached.get() == Py_None) cached = find_or_create_locked(origin, cache, key, type_args);
  if (cached && shared && !recent_subscriptions.remember(origin, item, cached)) return nullptr;
  return cached.release();
}

// --- declarations ------------------------------------------------------------

constexpr rt::Param kInitParams[] = {
    {"self", "GenericWithArgs"}, {"args", "Any", rt::Kind::kVarPositional}, {"kwargs", "Any", rt::Kind::kVarKeyword}};
constexpr rt::Param kInitSubclassParams[] = {{"cls"}};
constexpr rt::Param kTypingAliasParams[] = {{"cls", "Type[GenericWithArgs]"}};
constexpr rt::Param kClassGetitemParams[] = {{"cls", "Type[GenericWithArgs]"}, {"item", "Any"}};

const rt::FunctionSpec kInit = {"__init__", "Raise an error if the GenericsWithArgs implementation is not parametrized.",
                                generic_init, kInitParams, "None"};
const rt::FunctionSpec kInitSubclass = {"__init_subclass__", "Initialize the subclass and store the origin.",
                                        generic_init_subclass, kInitSubclassParams, "None"};
const rt::FunctionSpec kTypingAlias = {"typing_alias", "Return a generic type alias for this class.",
                                       generic_typing_alias, kTypingAliasParams, "types.GenericAlias"};
const rt::FunctionSpec kClassGetitem = {"__class_getitem__",
                                        "Instantiate class with generics ensuring isinstance checks work.",
                                        generic_class_getitem, kClassGetitemParams, "Type[GenericWithArgs]"};

PyObject* new_instance(PyObject* module, const char* module_attr, const char* class_name) {
  Ref owner = Ref::steal(PyObject_GetAttrString(module, module_attr));
  Ref cls = owner ? Ref::steal(PyObject_GetAttrString(owner, class_name)) : nullptr;
  return cls ? PyObject_CallNoArgs(cls) : nullptr;
}

PyObject* generic_with_args(PyObject* module) {
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!bases) return nullptr;
  // The lock is reentrant: a class hook that subscribes another generic class
  // while a parametrised class is being created must not hang the process.
  return rt::ClassBuilder(module, "GenericWithArgs",
                          "Allows instances of generic types to remember their type args.\n\n"
                          "This is done by returning a custom subclass for each Generics they receive.\n"
                          "Isinstance checks still work.\n\n"
                          "Usage: Inherit from GenericWithArg.")
      .annotate("__type_args__", "tuple[Any, ...] | None")
      .set("__type_args__", Py_NewRef(Py_None))
      .annotate("__origin__", "Type[GenericWithArgs] | None")
      .set("__origin__", Py_NewRef(Py_None))
      .annotate("_cache",
                "weakref.WeakValueDictionary[tuple[Type[GenericWithArgs], tuple[Any, ...]], Type[GenericWithArgs]]")
      .set("_cache", new_instance(module, "weakref", "WeakValueDictionary"))
      .set("_lock", new_instance(module, "threading", "RLock"))
      .method(kInit)
      .class_method(kInitSubclass)
      .class_method(kTypingAlias)
      .class_method(kClassGetitem)
      .create(reinterpret_cast<PyObject*>(&PyType_Type), bases)
      .release();
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{nullptr, "types"},
                                 {nullptr, "weakref"},
                                 {nullptr, "threading"},
                                 {"typing", "Any"},
                                 {"typing", "cast"},
                                 {"typing", "Type"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"}})) {
    return false;
  }
  Ref cls = Ref::steal(generic_with_args(module));
  if (!cls) return false;
  Py_XSETREF(shared_cache, PyObject_GetAttr(cls, kCache));
  Py_XSETREF(shared_cache_data, shared_cache ? PyObject_GetAttr(shared_cache, kData) : nullptr);
  if (shared_cache_data == nullptr || !recent_subscriptions.watch(shared_cache_data)) return false;
  return rt::add_object(module, "GenericWithArgs", cls.release());
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(generic_params, "Generic classes whose subscriptions are cached classes that remember their arguments.",
               quorvel::exec_module)
