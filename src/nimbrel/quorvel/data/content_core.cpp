// The configurable content contract and the helpers for values, types and registration.
#include <memory>
#include <utility>
#include <vector>

#include "content_glue.hpp"
#include "content_fields.hpp"
#include "module_api.hpp"
#include "record_fields.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kBuildDefaults("build_defaults");
rt::Name kBuildFieldForType("build_field_for_type");
rt::Name kFromDefaults("from_defaults");
rt::Name kGetSubfieldDescriptors("get_subfield_descriptors");
rt::Name kName("name");
rt::Name kValue("value");
rt::Name kRegister("register");
rt::Name kDunderDict("__dict__");
rt::Name kDunderIsAbstract("__isabstractmethod__");
rt::Name kDunderAbstractMethods("__abstractmethods__");
rt::Name kDunderDataclassFields("__dataclass_fields__");
rt::Name kGetMro("getmro");

rt::Global kPrimitiveArgs("PrimitiveArgs");
rt::Global kImplementationError("QuorvelImplementationError");
rt::Global kIsDataclass("is_dataclass");
rt::Global kFieldsOf("fields");
rt::Global kInspect("inspect");
rt::Global kAbcMeta("ABCMeta");

// The descriptors and field names of each dataclass content class, with the
// `__dataclass_fields__` they were read from: a class that is decorated
// again gets a new one, and its entry is then read anew.
rt::ClassCache field_cache;

rt::Keywords name_metadata_keywords({"name", "metadata"});

// Our own get_subfield_descriptors, to recognise when it is not overridden.
PyObject* own_get_subfield_descriptors = nullptr;

// Whether values of the exact built-in primitive and container types are
// content: only if one of those classes (or a base such as object) was
// registered as a virtual subclass. The answers are kept with the abc cache token, which
// every ABC registration anywhere bumps, and with the class they were asked
// of, so a registration or a patched binding is seen at once.
class PrimitiveVerdicts {
 public:
  // Brings the answers up to date with the current token and class; done
  // once per operation rather than once per value.
  bool refresh(PyObject* base) {
    long long token = 0;
    if (!rt::abc_cache_token(token)) return false;
    if (token == token_ && base == base_) return true;
    ++checks_;
    for (int slot = 0; slot < kCount; ++slot) {
      int verdict = rt::is_subclass(reinterpret_cast<PyObject*>(type_at(slot)), base);
      if (verdict < 0) return false;
      verdicts_[slot] = verdict;
    }
    token_ = token;
    base_ = base;
    return true;
  }

  // After refresh: 0/1 the answer, 2 when `value` is not an exact primitive.
  int verdict(PyObject* value) const {
    int slot = slot_of(Py_TYPE(value));
    return slot < 0 ? 2 : verdicts_[slot];
  }

  // How many times the classes were checked anew, which may have run code
  // (an ABC's subclass hooks).
  unsigned long long checks() const { return checks_; }

  // After refresh: whether no scalar class (str, int, float, bool, None) is content.
  bool scalars_plain() const {
    for (int slot = 0; slot < kScalarCount; ++slot) {
      if (verdicts_[slot] != 0) return false;
    }
    return true;
  }

  // Whether `value` is exactly of one of the scalar classes.
  static bool is_scalar(PyObject* value) {
    int slot = slot_of(Py_TYPE(value));
    return slot >= 0 && slot < kScalarCount;
  }

 private:
  static constexpr int kCount = 8;
  static constexpr int kScalarCount = 5;  // the leading slots: the classes without items
  static PyTypeObject* type_at(int slot) { return types_[slot]; }
  static int slot_of(PyTypeObject* type) {
    for (int slot = 0; slot < kCount; ++slot) {
      if (type == types_[slot]) return slot;
    }
    return -1;
  }

  static inline PyTypeObject* const types_[kCount] = {&PyUnicode_Type, &PyLong_Type,  &PyFloat_Type, &PyBool_Type,
                                                      Py_TYPE(Py_None), &PyList_Type, &PyTuple_Type, &PyDict_Type};

  long long token_ = -1;
  unsigned long long checks_ = 0;
  PyObject* base_ = nullptr;  // identity only
  int verdicts_[kCount] = {};
};

PrimitiveVerdicts primitive_verdicts;

// The nesting of content tests on this thread (see ContentTest).
struct ContentOperation {
  int depth = 0;
  bool refreshed = false;
};
thread_local ContentOperation operation;

// isinstance(value, BaseConfigurableData), registered virtual subclasses
// included, for the values of one operation. Operations nest (a record's
// defaults hold its fields' defaults, through other modules too), so the
// primitive verdicts are brought up to date once per outermost operation on
// a thread, when its first primitive value is tested.
class ContentTest {
 public:
  ContentTest() {
    if (operation.depth++ == 0) operation.refreshed = false;
  }
  ~ContentTest() { --operation.depth; }
  ContentTest(const ContentTest&) = delete;
  ContentTest& operator=(const ContentTest&) = delete;

  int operator()(PyObject* value) {
    if (base() == nullptr) return -1;
    int verdict = primitive_verdicts.verdict(value);
    if (verdict == 2) return rt::is_instance(value, base_);
    if (!refresh()) return -1;
    return primitive_verdicts.verdict(value);
  }

  // plain_scalars() once it was asked in this operation, else -1.
  int known_plain_scalars() const { return plain_scalars_; }

  // Whether exact scalars are plain data in this operation, so that each
  // converts to itself: -1 with the error set when that cannot be told.
  // Asked once, then known for the rest of the operation, as the verdicts are.
  int plain_scalars() {
    if (plain_scalars_ < 0) {
      if (base() == nullptr || !refresh()) return -1;
      plain_scalars_ = primitive_verdicts.scalars_plain() ? 1 : 0;
    }
    return plain_scalars_;
  }

  // BaseConfigurableData as this operation tests against it, or nullptr with
  // the error set. Looked up on first use, so that a failed lookup is
  // reported by the test that needed it rather than left pending.
  PyObject* base() {
    if (!base_) base_ = kBaseConfigurableData.get();
    return base_.get();
  }

 private:
  // Brings the verdicts up to date once per outermost operation.
  bool refresh() {
    if (!refreshed_) {
      if (!operation.refreshed && !(operation.refreshed = primitive_verdicts.refresh(base_))) return false;
      refreshed_ = true;
    }
    return true;
  }

  Ref base_;
  bool refreshed_ = false;          // the verdicts are known to be up to date
  signed char plain_scalars_ = -1;  // unknown until asked
};

}  // namespace

// One conversion into UI defaults: its content test, and the plan last used,
// as the items of a list are mostly of one class.
struct module_api::DefaultsRun {
  ContentTest is_content;
  PyTypeObject* last_type = nullptr;
  Ref last_capsule;
  const void* last_plan = nullptr;  // what the capsule holds
};

namespace {

using module_api::DefaultsRun;

bool is_exact_primitive(PyObject* value) {
  return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
         PyBool_Check(value) || value == Py_None;
}

// enum.Enum, for members of plain enumerations (not content ones).
PyObject* plain_enum = nullptr;

Ref convert_defaults(PyObject* value, DefaultsRun& run);
Ref convert_object(PyObject* value, DefaultsRun& run);
bool copied_like_last(PyObject* value, DefaultsRun& run, Ref& copy);

// value.build_defaults() of a content value, whose class may hide the method
// behind a field.
Ref content_defaults(PyObject* value) {
  Ref defaults = Ref::steal(PyObject_CallMethodNoArgs(value, kBuildDefaults));
  if (!defaults) return record_fields::explain_failure(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  return defaults;
}

bool all_primitive(PyObject* const* items, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!is_exact_primitive(items[i])) return false;
  }
  return true;
}

// A new tuple with the items of `items` (slicing a whole tuple gives the
// tuple itself, which must not be written to).
Ref copied_tuple(PyObject* items) {
  Py_ssize_t count = PyTuple_GET_SIZE(items);
  Ref copy = Ref::steal(PyTuple_New(count));
  if (!copy) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(copy.get(), i, Py_NewRef(PyTuple_GET_ITEM(items, i)));
  return copy;
}

// The defaults of a built-in list or tuple: the container itself when no
// item converts to anything else, else a new one of its type. Items that are
// all primitives settle it at once; otherwise a list is read from a copy, as
// converting may run code that changes it.
Ref convert_sequence(PyObject* sequence, DefaultsRun& run) {
  bool is_tuple = PyTuple_CheckExact(sequence);
  PyObject* const* live =
      is_tuple ? reinterpret_cast<PyTupleObject*>(sequence)->ob_item : reinterpret_cast<PyListObject*>(sequence)->ob_item;
  if (all_primitive(live, Py_SIZE(sequence))) return Ref::borrow(sequence);
  Ref items = is_tuple ? Ref::borrow(sequence) : Ref::steal(PyList_AsTuple(sequence));
  if (!items) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  Ref converted;  // made at the first item that changes
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    Ref defaults = convert_defaults(item, run);
    if (!defaults) return nullptr;
    // A list's snapshot is ours alone and takes the converted items itself;
    // a tuple given is copied first.
    if (!converted && defaults.get() != item && !(converted = is_tuple ? copied_tuple(items) : items)) return nullptr;
    if (converted) Py_SETREF(PyTuple_GET_ITEM(converted.get(), i), defaults.release());
  }
  if (!converted) return Ref::borrow(sequence);
  return is_tuple ? converted : Ref::steal(PySequence_List(converted));
}

// The defaults of a built-in dict, keys and values converted alike: the dict
// itself when nothing converts to anything else, else a new one.
Ref convert_dict(PyObject* dict, DefaultsRun& run) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  bool primitive = true;
  while (primitive && PyDict_Next(dict, &position, &key, &value)) {
    primitive = is_exact_primitive(key) && is_exact_primitive(value);
  }
  if (primitive) return Ref::borrow(dict);
  Ref items = Ref::steal(PyDict_Items(dict));
  Ref converted = items ? Ref::steal(PyDict_New()) : nullptr;
  if (!converted) return nullptr;
  bool changed = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    Ref new_key = convert_defaults(PyTuple_GET_ITEM(pair, 0), run);
    Ref new_value = new_key ? convert_defaults(PyTuple_GET_ITEM(pair, 1), run) : nullptr;
    if (!new_value || PyDict_SetItem(converted, new_key, new_value) < 0) return nullptr;
    changed = changed || new_key.get() != PyTuple_GET_ITEM(pair, 0) || new_value.get() != PyTuple_GET_ITEM(pair, 1);
  }
  return changed ? converted : Ref::borrow(dict);
}

// A content value's own defaults; a plain Enum member's value, so that the
// UI defaults hold data rather than the member object; the same for what a
// built-in list, tuple or dict holds, at any depth (their subclasses are left
// as they are); anything else as is.
Ref convert_defaults(PyObject* value, DefaultsRun& run) {
  // The class planned last, never a primitive one: the items of a list.
  if (Py_TYPE(value) == run.last_type) {
    if (Ref copy; copied_like_last(value, run, copy)) return copy;
    return convert_object(value, run);
  }
  if (PrimitiveVerdicts::is_scalar(value)) {
    int plain = run.is_content.plain_scalars();
    if (plain != 0) return plain < 0 ? nullptr : Ref::borrow(value);
  }
  if (primitive_verdicts.verdict(value) == 2) return convert_object(value, run);
  int content = run.is_content(value);
  if (content < 0) return nullptr;
  if (content) return content_defaults(value);
  // Built-in primitives report their real class, which no Enum is.
  if (is_exact_primitive(value)) return Ref::borrow(value);
  rt::RecursionGuard guard(" while building defaults");
  if (!guard) return nullptr;
  return PyDict_CheckExact(value) ? convert_dict(value, run) : convert_sequence(value, run);
}

// --- the descriptors of a class ----------------------------------------------

struct Descriptors {
  Ref fields;  // the Field objects, in declaration order
  Ref names;   // their names
};

Ref field_names(PyObject* fields) {
  Ref names = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(fields)));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
    PyObject* name = PyObject_GetAttr(PyTuple_GET_ITEM(fields, i), kName);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i, name);
  }
  return names;
}

// dataclasses.is_dataclass as bound at import: all it does for a class is
// look for `__dataclass_fields__`, which is done here without the call.
PyObject* original_is_dataclass = nullptr;

// The class's `__dataclass_fields__` when it is a dataclass, else nullptr
// (without an error). While the binding is the original, the attribute
// itself answers the question.
Ref dataclass_fields(PyObject* cls, bool& failed) {
  failed = true;
  if (!kIsDataclass.is(original_is_dataclass) || !PyType_Check(cls)) {
    Ref verdict = rt::call_global(kIsDataclass, cls);
    int dataclass = verdict ? PyObject_IsTrue(verdict) : -1;
    if (dataclass <= 0) {
      failed = dataclass < 0;
      return nullptr;
    }
    return rt::attr(cls, kDunderDataclassFields);
  }
  PyObject* fields = nullptr;
  int found = rt::optional_attr(cls, kDunderDataclassFields, &fields);
  failed = found < 0;
  return Ref::steal(fields);
}

bool dataclass_descriptors(PyObject* cls, Descriptors& found) {
  bool failed = false;
  Ref current = dataclass_fields(cls, failed);
  if (!current) return !failed;
  if (Ref entry = field_cache.find(cls); entry && PyTuple_GET_ITEM(entry.get(), 0) == current.get()) {
    found = {Ref::borrow(PyTuple_GET_ITEM(entry.get(), 1)), Ref::borrow(PyTuple_GET_ITEM(entry.get(), 2))};
    return true;
  }
  if (!record_fields::check_field_names(cls)) return false;
  Ref fields = rt::call_global(kFieldsOf, cls);
  if (!fields) return false;
  if (!PyTuple_CheckExact(fields.get())) fields = Ref::steal(PySequence_Tuple(fields));
  Ref names = fields ? field_names(fields) : nullptr;
  if (!names) return false;
  Ref entry = rt::tuple_of(current.get(), fields.get(), names.get());
  // Classes that cannot be weakly referenced are simply not cached.
  if (!entry || !field_cache.store(cls, entry)) PyErr_Clear();
  found = {std::move(fields), std::move(names)};
  return true;
}

// The descriptors of `self`, through `self.get_subfield_descriptors()`; the
// field names come from the cache when that method is not overridden. The
// field names of the class are checked where its descriptors are first read,
// and here each time for a class that overrides or hides that method.
bool subfield_descriptors(PyObject* self, Descriptors& found) {
  Ref method = Ref::steal(PyObject_GetAttr(self, kGetSubfieldDescriptors));
  if (!method) return false;
  if (PyMethod_Check(method.get()) && PyMethod_GET_FUNCTION(method.get()) == own_get_subfield_descriptors) {
    if (!dataclass_descriptors(PyMethod_GET_SELF(method.get()), found)) return false;
    if (found.fields) return true;
  } else if (!record_fields::check_field_names(reinterpret_cast<PyObject*>(Py_TYPE(self)))) {
    return false;
  }
  Ref descriptors = Ref::steal(PyObject_CallNoArgs(method));
  Ref as_tuple = descriptors ? Ref::steal(PySequence_Tuple(descriptors)) : nullptr;
  Ref names = as_tuple ? field_names(as_tuple) : nullptr;
  if (!names) return false;
  found = {std::move(as_tuple), std::move(names)};
  return true;
}

// --- the direct route of UI defaults ------------------------------------------

// BaseConfigurableData's own build_defaults and get_subfield_descriptors, as
// its namespace holds them.
PyObject* own_build_defaults = nullptr;
PyObject* stock_descriptors = nullptr;

// The content kinds' own build_defaults methods and the C functions behind them.
std::vector<std::pair<PyObject*, module_api::KindDefaults>> kinds;

// How the defaults of a class's instances are made while their
// `build_defaults` is the one the class inherits.
enum class Route : unsigned char {
  kMethod,  // value.build_defaults()
  kRecord,  // this module's own method over the class's dataclass fields
  kKind,    // a content kind's own method, called directly
};

// What a conversion needs to know about one class, for as long as neither
// the class (its MRO included) nor the instance check of BaseConfigurableData
// changes.
struct Plan {
  rt::TypeState type_state;
  rt::TypeState check_state;  // the metaclass of `base`
  PyObject* base = nullptr;   // the BaseConfigurableData planned against (identity only)
  bool content = false;       // every instance is content through the MRO alone
  Route route = Route::kMethod;
  module_api::KindDefaults kind = nullptr;
  Ref names;                          // kRecord: the field names, in order
  std::vector<bool> through_getattr;  // kRecord: fields that a data descriptor of the class stands for
  bool walkable = false;              // a kRecord plan whose fields are never read through getattr
};

// Plan capsules go unnamed: getting the pointer then compares no text.
const Plan* plan_in(PyObject* capsule) { return static_cast<const Plan*>(PyCapsule_GetPointer(capsule, nullptr)); }

void free_plan(PyObject* capsule) { delete plan_in(capsule); }

rt::ClassCache plan_cache;

bool plan_holds(const Plan& plan, PyTypeObject* type, PyObject* base) {
  return plan.base == base && plan.type_state.unchanged(reinterpret_cast<PyObject*>(type)) &&
         plan.check_state.unchanged(reinterpret_cast<PyObject*>(Py_TYPE(base))) &&
         (plan.route != Route::kRecord || kIsDataclass.is(original_is_dataclass));
}

// A record's fields, read from the instance dict wherever getattr would find
// them there. A plan that cannot be completed is not kept: the method call
// then meets the same failure and reports it.
void plan_record(PyTypeObject* type, Plan& plan, bool& keep) {
  Descriptors found;
  if (!dataclass_descriptors(reinterpret_cast<PyObject*>(type), found)) {
    PyErr_Clear();
    keep = false;
    return;
  }
  plan.names = found.names ? std::move(found.names) : Ref::steal(PyTuple_New(0));
  if (!plan.names) {
    PyErr_Clear();
    keep = false;
    return;
  }
  bool walkable = true;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plan.names.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(plan.names.get(), i);
    // A field under a method's name hides that method on every instance.
    if (name == kBuildDefaults.get() || name == kGetSubfieldDescriptors.get()) return;
    Ref found_in_class = PyUnicode_CheckExact(name) ? rt::mro_lookup(type, name) : nullptr;
    bool through_getattr = !PyUnicode_CheckExact(name) ||
                           (found_in_class && Py_TYPE(found_in_class.get())->tp_descr_set != nullptr);
    plan.through_getattr.push_back(through_getattr);
    walkable = walkable && !through_getattr;
  }
  plan.walkable = walkable;
  plan.route = Route::kRecord;
}

void plan_route(PyTypeObject* type, Plan& plan, bool& keep) {
  auto* cls = reinterpret_cast<PyObject*>(type);
  if (type->tp_getattro != PyObject_GenericGetAttr) return;
  if (rt::inherits_own(cls, kBuildDefaults, own_build_defaults)) {
    if (kIsDataclass.is(original_is_dataclass) && rt::inherits_own(cls, kGetSubfieldDescriptors, stock_descriptors)) {
      plan_record(type, plan, keep);
    }
    return;
  }
  for (const auto& [own, defaults] : kinds) {
    if (rt::inherits_own(cls, kBuildDefaults, own)) {
      plan.route = Route::kKind;
      plan.kind = defaults;
      return;
    }
  }
}

// A new plan of `type` in a capsule; `keep` tells whether it may be cached.
Ref make_plan(PyTypeObject* type, PyObject* base, bool& keep) {
  auto plan = std::make_unique<Plan>();
  plan->base = base;
  keep = plan->type_state.record(reinterpret_cast<PyObject*>(type)) &&
         plan->check_state.record(reinterpret_cast<PyObject*>(Py_TYPE(base)));
  plan->content = rt::always_instance(type, base);
  plan_route(type, *plan, keep);
  Ref capsule = Ref::steal(PyCapsule_New(plan.get(), nullptr, free_plan));
  if (capsule) plan.release();
  return capsule;
}

// A plan and the capsule that keeps it alive.
struct HeldPlan {
  Ref capsule;
  const Plan* plan = nullptr;
};

// The plan of `type` for this run, made now when there is none that holds;
// nullptr with the error set when none can be had.
HeldPlan plan_for(DefaultsRun& run, PyTypeObject* type) {
  PyObject* base = run.is_content.base();
  if (base == nullptr) return {};
  auto* last = static_cast<const Plan*>(run.last_plan);
  if (type == run.last_type && plan_holds(*last, type, base)) return {run.last_capsule, last};
  Ref capsule = plan_cache.find(reinterpret_cast<PyObject*>(type));
  if (!capsule || !plan_holds(*plan_in(capsule), type, base)) {
    bool keep = false;
    capsule = make_plan(type, base, keep);
    if (!capsule) return {};
    // Classes that cannot be weakly referenced are simply not cached.
    if (keep && !plan_cache.store(reinterpret_cast<PyObject*>(type), capsule)) PyErr_Clear();
  }
  run.last_type = type;
  run.last_capsule = capsule;
  run.last_plan = plan_in(capsule);
  return {std::move(capsule), static_cast<const Plan*>(run.last_plan)};
}

// Whether `obj` has no attribute of its own named `name` or `other` (when
// given), shown without running code: looking either up on it then finds
// what its class holds. False also when that cannot be shown.
bool lacks_own_attributes(PyObject* obj, PyObject* name, PyObject* other) {
  PyTypeObject* type = Py_TYPE(obj);
  if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) return true;
  PyObject** slot = rt::instance_dict_slot(obj);
  if (slot == nullptr || (*slot != nullptr && !PyDict_CheckExact(*slot))) return false;
  if (*slot == nullptr) return true;
  Ref dict = Ref::borrow(*slot);
  int found = PyDict_Contains(dict, name);
  if (found == 0 && other != nullptr) found = PyDict_Contains(dict, other);
  // The method call looks again and reports the failure.
  if (found < 0) PyErr_Clear();
  return found == 0;
}

// getattr(self, name), read from the instance dict unless a data descriptor
// of the class stands for the name (the plan's proof that the dict is where
// getattr looks first, as the class keeps the generic lookup).
Ref field_value(PyObject* self, PyObject* name, bool through_getattr) {
  if (!through_getattr) {
    PyObject** slot = rt::instance_dict_slot(self);
    if (slot != nullptr && *slot != nullptr && PyDict_CheckExact(*slot)) {
      Ref dict = Ref::borrow(*slot);
      PyObject* value = nullptr;
      if (PyDict_GetItemRef(dict, name, &value) != 0) return Ref::steal(value);
    }
  }
  return Ref::steal(PyObject_GetAttr(self, name));
}

// The instance dict of `self` when it holds exactly the fields of `plan`, in
// order, else nullptr; `scalars` tells whether every value in it is exactly
// a scalar.
PyObject* fields_dict(PyObject* self, const Plan& plan, bool& scalars) {
  PyObject** slot = rt::instance_dict_slot(self);
  PyObject* dict = slot != nullptr ? *slot : nullptr;
  PyObject* names = plan.names;
  Py_ssize_t count = PyTuple_GET_SIZE(names);
  if (dict == nullptr || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != count) return nullptr;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  scalars = true;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyDict_Next(dict, &position, &key, &value) || key != PyTuple_GET_ITEM(names, i)) return nullptr;
    scalars = scalars && PrimitiveVerdicts::is_scalar(value);
  }
  return dict;
}

// Reads a record's field values in declaration order. While the instance
// dict holds exactly the fields, in that order (as __init__ leaves it), a
// walk over it finds each value under its field's name; a field the walk does
// not meet so is read as field_value reads it.
class FieldReader {
 public:
  FieldReader(PyObject* self, const Plan* plan) : self_(self), plan_(plan) {}

  // Whether the instance dict holds exactly the plan's fields, in order: the
  // instance then hides nothing of its class but them.
  bool holds_only_fields() {
    if (plan_ == nullptr || !plan_->walkable) return false;
    PyObject* dict = fields_dict(self_, *plan_, scalars_only_);
    if (dict == nullptr) return false;
    walk_ = Ref::borrow(dict);
    return true;
  }

  // The record's defaults as a copy of its instance dict, when that holds
  // only fields whose values convert to themselves: exactly what converting
  // field by field would build, with no code run on the way. Answers false
  // when it does not apply (nothing was done) and true otherwise, `copy` then
  // being the copy or nullptr with the error set.
  bool copied(DefaultsRun& run, Ref& copy) {
    if (!walk_ || !scalars_only_) return false;
    unsigned long long checks = primitive_verdicts.checks();
    int plain = run.is_content.plain_scalars();
    if (plain <= 0 || checks != primitive_verdicts.checks()) {
      // Converting field by field meets the same failure and reports it,
      // and reads the fields anew after checks that may have run code.
      if (plain < 0) PyErr_Clear();
      return false;
    }
    copy = Ref::steal(PyDict_Copy(walk_));
    return true;
  }

  // getattr(self, name) of field `index`.
  Ref read(Py_ssize_t index, PyObject* name) {
    if (plan_ == nullptr || plan_->through_getattr[index]) return Ref::steal(PyObject_GetAttr(self_, name));
    if (walk_) {
      // Converting earlier fields may have run code that changed the instance.
      PyObject** slot = rt::instance_dict_slot(self_);
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (slot != nullptr && *slot == walk_.get() && PyDict_Next(walk_, &position_, &key, &value) && key == name) {
        return Ref::borrow(value);
      }
      walk_ = nullptr;
    }
    return field_value(self_, name, false);
  }

 private:
  PyObject* self_;
  const Plan* plan_;
  Ref walk_;  // the instance dict while the walk over it goes on
  Py_ssize_t position_ = 0;
  bool scalars_only_ = false;  // every value in it is exactly a scalar
};

Ref missing_attribute(PyObject* self, PyObject* names);

// An AttributeError on the way to a record's defaults becomes the missing
// attribute it stands for; any other error passes.
[[gnu::cold]] std::nullptr_t record_failed(PyObject* self, PyObject* names) {
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    rt::reraise(kQuorvelError, true, [&](PyObject*) { return missing_attribute(self, names); });
  }
  return nullptr;
}

// The UI defaults of a record: each field's value converted, under its name.
Ref record_defaults(PyObject* self, PyObject* names, FieldReader& fields, DefaultsRun& run) {
  rt::RecursionGuard guard(" while building defaults");
  if (!guard) return nullptr;
  if (Ref copy; fields.copied(run, copy)) return copy;
  Py_ssize_t count = PyTuple_GET_SIZE(names);
  Ref result = rt::presized_dict(count);
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    Ref value = fields.read(i, name);
    Ref converted = value ? convert_defaults(value, run) : nullptr;
    if (!converted || PyDict_SetItem(result, name, converted) < 0) return record_failed(self, names);
  }
  return result;
}

// value.build_defaults() of a content value: the method's own work done
// directly while the value's class inherits it and the value does not hide it.
// `held` keeps the plan alive while nested values replace the run's.
Ref content_defaults(PyObject* value, const HeldPlan& held, DefaultsRun& run) {
  const Plan& plan = *held.plan;
  if (plan.route == Route::kRecord) {
    FieldReader fields(value, &plan);
    if (fields.holds_only_fields() || lacks_own_attributes(value, kBuildDefaults, kGetSubfieldDescriptors)) {
      return record_defaults(value, plan.names, fields, run);
    }
  }
  if (plan.route == Route::kKind && lacks_own_attributes(value, kBuildDefaults, nullptr)) {
    return Ref::steal(plan.kind(value, &run));
  }
  return content_defaults(value);
}

// The UI defaults of a record of the class planned last, the way the items
// of a list mostly come, once this run knows scalars to be plain data: a
// copy of its instance dict when that holds only its fields, each exactly a
// scalar. As `FieldReader::copied` answers, with no code run on the way.
bool copied_like_last(PyObject* value, DefaultsRun& run, Ref& copy) {
  const auto* plan = static_cast<const Plan*>(run.last_plan);
  if (!plan->content || !plan->walkable || run.is_content.known_plain_scalars() <= 0 ||
      !plan_holds(*plan, Py_TYPE(value), run.is_content.base())) {
    return false;
  }
  bool scalars = false;
  Ref dict = Ref::borrow(fields_dict(value, *plan, scalars));
  if (!dict || !scalars) return false;
  rt::RecursionGuard guard(" while building defaults");
  copy = guard ? Ref::steal(PyDict_Copy(dict)) : nullptr;
  return true;
}

// convert_defaults for a value of any class but the built-in primitives and
// containers.
Ref convert_object(PyObject* value, DefaultsRun& run) {
  HeldPlan held = plan_for(run, Py_TYPE(value));
  if (!held.plan) return nullptr;
  int content = held.plan->content ? 1 : run.is_content(value);
  if (content < 0) return nullptr;
  if (content) return content_defaults(value, held, run);
  int member = rt::is_instance(value, plain_enum);
  if (member < 0) return nullptr;
  return member ? Ref::steal(PyObject_GetAttr(value, kValue)) : Ref::borrow(value);
}

// --- BaseConfigurableData ----------------------------------------------------

PyObject* get_subfield_descriptors(rt::Function*, PyObject* const* args) {
  Descriptors found;
  if (!dataclass_descriptors(args[0], found)) return nullptr;
  return found.fields ? found.fields.release() : PyList_New(0);
}

PyObject* abstract_body(rt::Function*, PyObject* const*) { Py_RETURN_NONE; }

// self.build_field_for_type(self, name=name, metadata=metadata)
PyObject* build_field(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* call_args[] = {self, self, args[1], args[2]};
  PyObject* field = PyObject_VectorcallMethod(kBuildFieldForType, call_args, 2, name_metadata_keywords);
  return field ? field : record_fields::explain_failure(reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

Ref missing_attribute(PyObject* self, PyObject* names) {
  Ref type_name = rt::call_global(kDisplayClassName, reinterpret_cast<PyObject*>(Py_TYPE(self)));
  Ref shown = type_name ? rt::call_global(kDisplayValue, self) : nullptr;
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  Ref listed = shown && separator ? Ref::steal(PyUnicode_Join(separator, names)) : nullptr;
  if (!listed) return nullptr;
  return Ref::steal(PyUnicode_FromFormat("Missing attribute on %U instance %U.Required field names: %U",
                                         type_name.get(), shown.get(), listed.get()));
}

// The defaults of a record whose descriptors come from get_subfield_descriptors()
// as the instance finds it.
Ref described_defaults(PyObject* self, DefaultsRun& run) {
  Descriptors found;
  if (!subfield_descriptors(self, found)) return nullptr;
  FieldReader fields(self, nullptr);
  return record_defaults(self, found.names, fields, run);
}

PyObject* method_build_defaults(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  DefaultsRun run;
  HeldPlan held = plan_for(run, Py_TYPE(self));
  // Without a plan the general path meets whatever failed and reports it where it always did.
  if (!held.plan) PyErr_Clear();
  const Plan* plan = held.plan;
  if (plan != nullptr && plan->route == Route::kRecord) {
    FieldReader fields(self, plan);
    if (fields.holds_only_fields() || lacks_own_attributes(self, kGetSubfieldDescriptors, nullptr)) {
      return record_defaults(self, plan->names, fields, run).release();
    }
  }
  return described_defaults(self, run).release();
}

PyObject* build_root_defaults(rt::Function*, PyObject* const* args) {
  PyObject* self = args[0];
  Ref key = rt::call_global(kTypeKeyClass, reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (!key) return nullptr;
  Ref defaults = content_defaults(self);
  if (!defaults) return nullptr;
  Ref root = Ref::steal(PyDict_New());
  if (!root || PyDict_SetItem(root, key, defaults) < 0) return nullptr;
  return root.release();
}

PyObject* serialize_to_disk_representation(rt::Function*, PyObject* const* args) {
  return content_defaults(args[0]).release();
}

PyObject* parse_from_disk_representation(rt::Function*, PyObject* const* args) {
  PyObject* parsed = PyObject_CallMethodOneArg(args[0], kFromDefaults, args[1]);
  return parsed ? parsed : record_fields::explain_failure(args[0]);
}

PyObject* load_root_defaults(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* data = args[1];
  Ref key = rt::call_global(kTypeKeyClass, cls);
  if (!key) return nullptr;
  PyObject* inner = nullptr;
  if (PyDict_GetItemRef(data, key, &inner) < 0) return nullptr;
  Ref unwrapped = inner ? Ref::steal(inner) : Ref::borrow(data);
  PyObject* call_args[] = {cls, unwrapped.get(), args[2]};
  PyObject* loaded = PyObject_VectorcallMethod(kFromDefaults, call_args, 3, nullptr);
  if (loaded != nullptr) return loaded;
  record_fields::explain_failure(cls);
  // A failure inside the root form is located under its key.
  return inner != nullptr ? rt::locate(kQuorvelError, {key.get()}) : nullptr;
}

PyObject* inject_and_validate_impl(PyObject* provider, PyObject* target);

PyObject* register_subclass(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* subclass = args[1];
  Ref abc_meta = kAbcMeta.get();
  Ref abc_register = abc_meta ? Ref::steal(PyObject_GetAttr(abc_meta, kRegister)) : nullptr;
  if (!abc_register) return nullptr;
  Ref registered = Ref::steal(PyObject_CallFunctionObjArgs(abc_register, cls, subclass, nullptr));
  if (!registered) return nullptr;
  Ref done = Ref::steal(inject_and_validate_impl(cls, subclass));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

// --- module functions ----------------------------------------------------------

PyObject* build_defaults(rt::Function*, PyObject* const* args) {
  DefaultsRun run;
  return convert_defaults(args[0], run).release();
}

PyObject* require_valid_config_value(rt::Function*, PyObject* const* args) {
  PyObject* value = args[0];
  ContentTest is_content;
  int content = is_content(value);
  if (content < 0) return nullptr;
  if (content) return Py_NewRef(value);
  Ref primitives = kPrimitiveArgs.get();
  int primitive = primitives ? PyObject_IsInstance(value, primitives) : -1;
  if (primitive < 0) return nullptr;
  if (primitive) return Py_NewRef(value);
  return rt::raise_global(kQuorvelError,
                          PyUnicode_FromFormat("%U must be BaseConfigurableData or PrimitiveTypes, got %R.", args[1],
                                               reinterpret_cast<PyObject*>(Py_TYPE(value))));
}

// A content class, or one of the primitive classes themselves.
int is_config_class(PyObject* cls) {
  Ref base = kBaseConfigurableData.get();
  if (!base) return -1;
  int content = rt::is_subclass(cls, base);
  if (content != 0) return content;
  Ref primitives = kPrimitiveArgs.get();
  return primitives ? PySequence_Contains(primitives, cls) : -1;
}

PyObject* require_valid_config_type(rt::Function*, PyObject* const* args) {
  PyObject* tp = args[0];
  Ref origin = rt::typing_origin(kGetOrigin, tp);
  if (!origin) return nullptr;
  PyObject* candidate = PyType_Check(origin.get()) ? origin.get() : tp;
  int valid = PyType_Check(candidate) ? is_config_class(candidate) : 0;
  if (valid < 0) return nullptr;
  if (valid) return Py_NewRef(tp);
  return rt::raise_global(kQuorvelError, PyUnicode_FromFormat(
                                             "%U must be BaseConfigurableData subclass or PrimitiveType, got %R.",
                                             args[1], tp));
}

bool is_public_name(PyObject* name) {
  return PyUnicode_Check(name) && (PyUnicode_GET_LENGTH(name) == 0 || PyUnicode_READ_CHAR(name, 0) != '_');
}

// getattr(obj, "__isabstractmethod__", False), as a truth value.
int is_abstract(PyObject* obj) {
  PyObject* flag = nullptr;
  int found = PyObject_GetOptionalAttr(obj, kDunderIsAbstract, &flag);
  if (found <= 0) return found;
  Ref owned = Ref::steal(flag);
  return PyObject_IsTrue(flag);
}

// Copies one class namespace's public, non-abstract entries that the target lacks.
bool inject_namespace(PyObject* base, PyObject* target) {
  Ref ns = Ref::steal(PyObject_GetAttr(base, kDunderDict));
  Ref items = ns ? Ref::steal(PyMapping_Items(ns)) : nullptr;
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* name = PyTuple_GET_ITEM(item, 0);
    PyObject* attr = PyTuple_GET_ITEM(item, 1);
    if (!is_public_name(name)) continue;
    int present = PyObject_HasAttrWithError(target, name);
    if (present != 0) {
      if (present < 0) return false;
      continue;
    }
    int abstract = is_abstract(attr);
    if (abstract < 0 || (!abstract && PyObject_SetAttr(target, name, attr) < 0)) return false;
  }
  return true;
}

bool inject(PyObject* provider, PyObject* target) {
  Ref inspect = kInspect.get();
  Ref mro = inspect ? Ref::steal(PyObject_CallMethodOneArg(inspect, kGetMro, provider)) : nullptr;
  Ref classes = mro ? Ref::steal(PyObject_GetIter(mro)) : nullptr;
  if (!classes) return false;
  while (Ref base = Ref::steal(PyIter_Next(classes))) {
    if (base.get() == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) return true;
    if (!inject_namespace(base, target)) return false;
  }
  return !PyErr_Occurred();
}

// The provider's abstract methods that the target lacks or leaves abstract.
Ref missing_implementations(PyObject* provider, PyObject* target) {
  Ref missing = Ref::steal(PyList_New(0));
  PyObject* abstract_names = nullptr;
  if (!missing || PyObject_GetOptionalAttr(provider, kDunderAbstractMethods, &abstract_names) < 0) return nullptr;
  if (abstract_names == nullptr) return missing;
  Ref names = Ref::steal(PyObject_GetIter(Ref::steal(abstract_names)));
  if (!names) return nullptr;
  while (Ref name = Ref::steal(PyIter_Next(names))) {
    PyObject* attr = nullptr;
    int present = PyObject_GetOptionalAttr(target, name, &attr);
    if (present < 0) return nullptr;
    int abstract = present ? is_abstract(Ref::steal(attr)) : 1;
    if (abstract < 0 || (abstract && PyList_Append(missing, name) < 0)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return missing;
}

PyObject* inject_and_validate_impl(PyObject* provider, PyObject* target) {
  if (!inject(provider, target)) return nullptr;
  Ref missing = missing_implementations(provider, target);
  if (!missing || PyList_Sort(missing) < 0) return nullptr;
  if (PyList_GET_SIZE(missing.get()) == 0) Py_RETURN_NONE;
  Ref qualname = Ref::steal(PyObject_GetAttr(target, kDunderQualname));
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  Ref listed = qualname && separator ? Ref::steal(PyUnicode_Join(separator, missing)) : nullptr;
  Ref tail = listed ? Ref::steal(PyUnicode_FromFormat(" missing required implementations: %U", listed.get())) : nullptr;
  Ref message = tail ? Ref::steal(PyNumber_Add(qualname, tail)) : nullptr;
  return rt::raise_global(kImplementationError, message.release());
}

PyObject* inject_and_validate(rt::Function*, PyObject* const* args) { return inject_and_validate_impl(args[0], args[1]); }

// --- declarations ------------------------------------------------------------

using rt::Default;
using rt::Kind;

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kDescriptorsParams[] = {{"cls", "Type[BaseConfigurableData]"}};
constexpr auto kBuildFieldForTypeParams = content_fields::field_for_type_params("Type[C]", "C | None");
constexpr rt::Param kBuildFieldParams[] = {
    {"self"},
    {"name", "str | None", Kind::kPositionalOrKeyword, Default::none()},
    {"metadata", "dict[str, Any] | None", Kind::kPositionalOrKeyword, Default::none()}};
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any");
constexpr rt::Param kDiskParams[] = {{"cls"}, {"value", "Any"}};
constexpr rt::Param kLoadRootParams[] = {
    {"cls"}, {"data", "dict[str, Any]"}, {"alias", "WrapperAlias | None", Kind::kPositionalOrKeyword, Default::none()}};
constexpr rt::Param kRegisterParams[] = {{"cls"}, {"subclass", "Type[_T]"}};
constexpr rt::Param kValParams[] = {{"val", "Any"}};
constexpr rt::Param kValueParams[] = {{"value", "Any"}, {"ctx", "str", Kind::kKeywordOnly, Default::string("value")}};
constexpr rt::Param kTypeParams[] = {{"tp", "Any"}, {"ctx", "str", Kind::kKeywordOnly, Default::string("type")}};
constexpr rt::Param kInjectParams[] = {{"provider", "Type[Any]"}, {"target", "Type[Any]"}};

const rt::FunctionSpec kGetSubfieldDescriptorsSpec = {
    "get_subfield_descriptors",
    "Return dataclass field definitions with metadata for schema building.\n\n"
    "Allow to define get_subfield_descriptors in the BaseConfigurableData and use it if available.",
    get_subfield_descriptors, kDescriptorsParams, "Iterable[Field[Any]]"};
const rt::FunctionSpec kBuildFieldForTypeSpec = {"build_field_for_type", content_fields::kFieldForTypeDoc,
                                                 abstract_body, kBuildFieldForTypeParams, "BaseField"};
const rt::FunctionSpec kBuildField = {"build_field", "Create the UI field representation of this value.", build_field,
                                      kBuildFieldParams, "BaseField"};
const rt::FunctionSpec kBuildDefaultsMethod = {"build_defaults",
                                               "Create a nested default dictionary for representation in UI.",
                                               method_build_defaults, kSelf, "dict[str, Any] | Any"};
const rt::FunctionSpec kBuildRootDefaults = {"build_root_defaults",
                                             "Create the root representation: the type key mapped to the defaults.",
                                             build_root_defaults, kSelf, "dict[str, Any]"};
const rt::FunctionSpec kSerialize = {
    "serialize_to_disk_representation",
    "Create the representation stored on disk.\n\n"
    "It must be reversible by parse_from_disk_representation: override both or neither.",
    serialize_to_disk_representation, kSelf, "dict[str, Any] | Any"};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", content_fields::kContentFromDefaultsDoc, abstract_body,
                                            kFromDefaultsParams, "BaseConfigurableData"};
const rt::FunctionSpec kParseFromDisk = {
    "parse_from_disk_representation",
    "Create an instance from its disk representation (the inverse of serialize_to_disk_representation).",
    parse_from_disk_representation, kDiskParams, "BaseConfigurableData"};
const rt::FunctionSpec kLoadRootDefaults = {"load_root_defaults", "Load as root.", load_root_defaults,
                                            kLoadRootParams, "BaseConfigurableData"};
const rt::FunctionSpec kRegisterSpec = {
    "register", "Register base class and copy all functions! Raise if abstract method not implemented.",
    register_subclass, kRegisterParams, "None"};

const rt::FunctionSpec kBuildDefaultsFunction = {"build_defaults", "Convert a value into its default representation.",
                                                 build_defaults, kValParams, "Any"};
const rt::FunctionSpec kRequireValue = {
    "require_valid_config_value", "Validate that a runtime value is BaseConfigurableData or a primitive, else raise.",
    require_valid_config_value, kValueParams, "ConfigValue"};
const rt::FunctionSpec kRequireType = {
    "require_valid_config_type",
    "Validate that a type is a BaseConfigurableData subclass or a primitive class, else raise.\n\n"
    "Performs only surface-level validation.",
    require_valid_config_type, kTypeParams, "ConfigType"};
const rt::FunctionSpec kInjectAndValidate = {
    "inject_and_validate",
    "Inject non-abstract public attributes from provider (including bases) and enforce abstracts.\n\n"
    "Rules:\n"
    "- Walk the provider's MRO (provider first), stopping at object.\n"
    "- Skip private and dunder names, names the target already has, and abstract methods.\n"
    "- Copy the raw namespace entry, so class methods stay class methods.\n"
    "- Raise QuorvelImplementationError naming every abstract method of the provider\n"
    "  that the target lacks or leaves abstract.",
    inject_and_validate, kInjectParams, "None"};

constexpr const char* kBaseConfigurableDataDoc =
    "Concrete content that works with dataclass-style fields to generate UI.\n\n"
    "Metadata keys commonly supported by fields:\n"
    "    display_name (str): Label shown in the UI.\n"
    "    description (str): Help text shown in the UI.\n"
    "    default (Any): Default value of the field.\n"
    "    input (type[BaseField]): Field model that replaces the default kind.";

// classmethod(abstractmethod(fn))
PyObject* abstract_class_method(PyObject* module, rt::ClassBuilder& builder, const rt::FunctionSpec& spec) {
  Ref fn = builder.function(spec);
  Ref abstractmethod = Ref::steal(PyObject_GetAttrString(module, "abstractmethod"));
  Ref marked = fn && abstractmethod ? Ref::steal(PyObject_CallOneArg(abstractmethod, fn)) : nullptr;
  return marked ? PyClassMethod_New(marked) : nullptr;
}

PyObject* base_configurable_data(PyObject* module) {
  Ref base = Ref::steal(PyObject_GetAttrString(module, "BaseContent"));
  Ref dataclass = Ref::steal(PyObject_GetAttrString(module, "dataclass"));
  if (!base || !dataclass) return nullptr;
  rt::ClassBuilder builder(module, "BaseConfigurableData", kBaseConfigurableDataDoc);
  builder.class_method(kGetSubfieldDescriptorsSpec)
      .set(kBuildFieldForTypeSpec.name, abstract_class_method(module, builder, kBuildFieldForTypeSpec))
      .method(kBuildField)
      .method(kBuildDefaultsMethod)
      .method(kBuildRootDefaults)
      .method(kSerialize)
      .set(kFromDefaultsSpec.name, abstract_class_method(module, builder, kFromDefaultsSpec))
      .class_method(kParseFromDisk)
      .class_method(kLoadRootDefaults)
      .class_method(kRegisterSpec);
  Ref bases = rt::tuple_of(base.get());
  Ref cls = bases ? builder.create(reinterpret_cast<PyObject*>(Py_TYPE(base.get())), bases) : nullptr;
  Ref decorated = cls ? Ref::steal(PyObject_CallOneArg(dataclass, cls)) : nullptr;
  if (!decorated) return nullptr;
  Ref descriptor = rt::attr(decorated, kGetSubfieldDescriptors);
  if (!descriptor) return nullptr;
  if (!PyMethod_Check(descriptor.get())) {
    PyErr_SetString(PyExc_TypeError, "get_subfield_descriptors must stay a class method");
    return nullptr;
  }
  Py_XSETREF(own_get_subfield_descriptors, Py_NewRef(PyMethod_GET_FUNCTION(descriptor.get())));
  auto* type = reinterpret_cast<PyTypeObject*>(decorated.get());
  Py_XSETREF(own_build_defaults, rt::mro_lookup(type, kBuildDefaults).release());
  Py_XSETREF(stock_descriptors, rt::mro_lookup(type, kGetSubfieldDescriptors).release());
  return decorated.release();
}

// --- what the kinds call directly ---------------------------------------------

PyObject* convert_in(PyObject* value, DefaultsRun* run) {
  if (run != nullptr) return convert_defaults(value, *run).release();
  DefaultsRun own;
  return convert_defaults(value, own).release();
}

bool add_kind(PyObject* own_method, module_api::KindDefaults defaults) {
  kinds.emplace_back(Py_NewRef(own_method), defaults);
  return true;
}

// `own_function` is filled in once the module function exists.
module_api::Defaults defaults_exports = {nullptr, convert_in, add_kind};

bool export_defaults(PyObject* module) {
  defaults_exports.own_function = PyObject_GetAttr(module, kBuildDefaults);
  return defaults_exports.own_function != nullptr &&
         module_api::export_api(module, module_api::kDefaultsCapsule, defaults_exports);
}

bool bind_imports(PyObject* module) {
  return rt::bind_imports(module, {
      {"abc", "ABCMeta"},
      {"abc", "abstractmethod"},
      {"collections.abc", "Iterable"},
      {"dataclasses", "dataclass"},
      {"dataclasses", "fields"},
      {"dataclasses", "is_dataclass"},
      {"dataclasses", "Field"},
      {nullptr, "inspect"},
      {"types", "GenericAlias"},
      {"typing", "Any"},
      {"typing", "TypeVar"},
      {"typing", "TYPE_CHECKING"},
      {"typing", "TypeAlias"},
      {"typing", "get_origin"},
      {"typing", "cast"},
      {"typing", "Type"},
      {"typing_extensions", "TypeForm"},
      {"nimbrel.quorvel.data.base", "BaseContent"},
      {"nimbrel.quorvel.data.base", "PrimitiveTypes"},
      {"nimbrel.quorvel.data.base", "PrimitiveClass"},
      {"nimbrel.quorvel.data.base", "PrimitiveArgs"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelImplementationError"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.core.naming", "display_value"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.typing.type_lookup", "type_key_class"},
  });
}

// Type[target] | others...
PyObject* type_union(PyObject* module, PyObject* target, std::initializer_list<const char*> others) {
  Ref type_form = Ref::steal(PyObject_GetAttrString(module, "Type"));
  Ref result = type_form ? Ref::steal(PyObject_GetItem(type_form, target)) : nullptr;
  for (const char* other : others) {
    Ref member = result ? Ref::steal(PyObject_GetAttrString(module, other)) : nullptr;
    result = member ? Ref::steal(PyNumber_Or(result, member)) : nullptr;
  }
  return result.release();
}

PyObject* config_value(PyObject* module) {
  Ref content = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  Ref primitives = Ref::steal(PyObject_GetAttrString(module, "PrimitiveTypes"));
  return content && primitives ? PyNumber_Or(content, primitives) : nullptr;
}

bool exec_module(PyObject* module) {
  if (!bind_imports(module) || !field_cache.init() || !plan_cache.init()) return false;
  Py_XSETREF(original_is_dataclass, PyObject_GetAttrString(module, "is_dataclass"));
  Py_XSETREF(plain_enum, rt::import_from("enum", "Enum").release());
  if (original_is_dataclass == nullptr || plain_enum == nullptr) return false;
  Ref forward = Ref::steal(PyUnicode_FromString("BaseConfigurableData"));
  if (!forward) return false;

  // At run time the alias containers are plain objects; only static
  // checkers see the TypeForm | GenericAlias union (see the stub).
  if (!rt::add_object(module, "AliasContainerType", Py_NewRef(&PyBaseObject_Type)) ||
      !rt::add_object(module, "C", rt::make_type_var(module, "C", forward)) ||
      !rt::add_object(module, "WrapperAlias", type_union(module, forward, {"AliasContainerType"})) ||
      !rt::add_object(module, "_T", rt::make_type_var(module, "_T")) ||
      !rt::add_function(module, kBuildDefaultsFunction) ||
      !rt::add_object(module, "BaseConfigurableData", base_configurable_data(module))) {
    return false;
  }
  Ref content = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  return content && record_fields::init_contract_check(module) &&
         rt::add_object(module, "ConfigValue", config_value(module)) &&
         rt::add_object(module, "ConfigType", type_union(module, content, {"PrimitiveClass", "AliasContainerType"})) &&
         rt::add_function(module, kRequireValue) && rt::add_function(module, kRequireType) &&
         rt::add_function(module, kInjectAndValidate) && export_defaults(module);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(content_core, "The configurable content contract: BaseConfigurableData, its aliases and helpers.",
               quorvel::exec_module)
