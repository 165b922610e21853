// Record content: dataclass-style configuration classes with annotated fields.
#include <array>
#include <vector>

#include "content_glue.hpp"
#include "content_fields.hpp"
#include "parse_call.hpp"
#include "plan_cache.hpp"
#include "record_fields.hpp"
#include "runtime.hpp"
#include "value_text.hpp"

namespace quorvel {
namespace {

rt::Name kName("name");
rt::Name kMetadata("metadata");
rt::Name kDefaultFactory("default_factory");
rt::Name kInit("init");
rt::Name kFields("fields");
rt::Name kNames("names");
rt::Name kContent("content");
rt::Name kDunderPostInit("__post_init__");
rt::Name kDunderDataclassFields("__dataclass_fields__");

rt::Global kMissing("MISSING");
rt::Global kFromDefaults("from_defaults");
rt::Global kBuildField("build_field");
rt::Global kValidationError("QuorvelValidationError");
rt::Global kFieldData("FieldData");

// Resolved type hints per record class. Only successful resolutions are
// kept: a forward reference that fails now may resolve later.
rt::ClassCache hint_cache;

// `dataclasses.field().metadata`: the one empty mapping of every field
// declared without metadata.
PyObject* no_metadata = nullptr;

rt::Keywords build_field_keywords({"name", "value_type", "metadata"});

Ref display_name(PyObject* cls) { return rt::call_global(kDisplayClassName, cls); }

// The resolved type hints of `cls`, kept once they resolved.
Ref type_hints(PyObject* cls, bool& resolved) {
  resolved = true;
  if (Ref cached = hint_cache.find(cls)) return cached;
  Ref hints = record_fields::type_hints(cls, resolved);
  // Classes that cannot be weakly referenced are simply not cached.
  if (hints && resolved && !hint_cache.store(cls, hints)) PyErr_Clear();
  return hints;
}

// --- build_field_for_type ------------------------------------------------------

// "names" of the caller's metadata: None, or a list, set or tuple of str.
int valid_names(PyObject* names) {
  if (names == Py_None) return 1;
  if (!PyList_Check(names) && !PySet_Check(names) && !PyTuple_Check(names)) return 0;
  Ref items = Ref::steal(PyObject_GetIter(names));
  if (!items) return -1;
  while (Ref item = Ref::steal(PyIter_Next(items))) {
    if (!PyUnicode_Check(item.get())) return 0;
  }
  return PyErr_Occurred() ? -1 : 1;
}

PyObject* invalid_names(PyObject* cls) {
  Ref shown = display_name(cls);
  return shown ? rt::raise_global(kQuorvelError, PyUnicode_FromFormat("%U.build_field metadata[\"names\"] must be a "
                                                                  "list/set/tuple of str.",
                                                                  shown.get()))
               : nullptr;
}

// The caller's metadata for one field: md.pop(name, None) or {}.
Ref caller_field_metadata(PyObject* md, PyObject* name) {
  PyObject* entry = nullptr;
  if (PyDict_Pop(md, name, &entry) < 0) return nullptr;
  Ref owned = Ref::steal(entry);
  int truthy = entry ? PyObject_IsTrue(entry) : 0;
  if (truthy < 0) return nullptr;
  return truthy ? owned : Ref::steal(PyDict_New());
}

// The field's default: the instance value, then metadata "default", then a
// metadata "default_factory", then the dataclass default or default factory.
bool settle_default(PyObject* field_meta, PyObject* value, PyObject* descriptor, PyObject* name) {
  PyObject* current = nullptr;
  if (value != Py_None && PyObject_GetOptionalAttr(value, name, &current) < 0) return false;
  if (current != nullptr) {
    Ref owned = Ref::steal(current);
    return PyDict_SetItem(field_meta, kDefault, current) == 0;
  }
  int has_default = PyDict_Contains(field_meta, kDefault);
  if (has_default != 0) return has_default > 0;
  PyObject* factory = nullptr;
  // The factory entry is used up here: no field kind declares it, so passing
  // it on would only make the child's construction fail.
  if (PyDict_Pop(field_meta, kDefaultFactory, &factory) < 0) return false;
  if (factory != nullptr) {
    Ref made = Ref::steal(PyObject_CallNoArgs(Ref::steal(factory)));
    return made && PyDict_SetItem(field_meta, kDefault, made) == 0;
  }
  Ref missing = kMissing.get();
  Ref fallback = missing ? Ref::steal(PyObject_GetAttr(descriptor, kDefault)) : nullptr;
  if (!fallback) return false;
  if (fallback.get() != missing.get()) return PyDict_SetItem(field_meta, kDefault, fallback) == 0;
  Ref default_factory = Ref::steal(PyObject_GetAttr(descriptor, kDefaultFactory));
  if (!default_factory) return false;
  if (default_factory.get() == missing.get()) return true;
  Ref made = Ref::steal(PyObject_CallNoArgs(default_factory));
  return made && PyDict_SetItem(field_meta, kDefault, made) == 0;
}

// The field's own metadata with the caller's over it, in a new dict. The
// empty mapping of a field declared without metadata adds nothing, so the
// caller's dict is then copied in one step.
Ref field_metadata(PyObject* descriptor, PyObject* sub_meta) {
  Ref own = Ref::steal(PyObject_GetAttr(descriptor, kMetadata));
  if (!own) return nullptr;
  if (own.get() == no_metadata && PyDict_CheckExact(sub_meta)) return Ref::steal(PyDict_Copy(sub_meta));
  Ref merged = Ref::steal(PyDict_New());
  if (!merged || PyDict_Update(merged, own) < 0 || PyDict_Update(merged, sub_meta) < 0) return nullptr;
  return merged;
}

// The child field of one record field, or nullptr with an error set.
Ref child_field(PyObject* cls, PyObject* descriptor, PyObject* name, PyObject* sub_meta, PyObject* value,
                PyObject* hints) {
  if (!PyDict_Check(sub_meta)) {
    Ref shown = display_name(cls);
    if (!shown) return nullptr;
    rt::raise_global(kMetadataError, PyUnicode_FromFormat("Field metadata for %U.%S must be a dict, got %R.", shown.get(),
                                                      name, reinterpret_cast<PyObject*>(Py_TYPE(sub_meta))));
    return nullptr;
  }
  Ref field_meta = field_metadata(descriptor, sub_meta);
  if (!field_meta || !settle_default(field_meta, value, descriptor, name)) return nullptr;
  Ref alias = record_fields::field_annotation(hints, descriptor, name);
  Ref build_field = alias ? kBuildField.get() : nullptr;
  if (!build_field) return nullptr;
  bool taken = false;
  Ref field = content_fields::build_handed_over(build_field, name, alias, field_meta, taken);
  if (taken) return field;
  PyObject* args[] = {name, alias.get(), field_meta.get()};
  Ref child = Ref::steal(PyObject_Vectorcall(build_field, args, 0, build_field_keywords));
  if (!child && PyType_Check(alias.get())) return record_fields::explain_failure(alias);
  return child;
}

// Builds the children in declaration order; consumes the caller's per-field metadata.
Ref child_fields(PyObject* cls, PyObject* md, PyObject* names, PyObject* value, PyObject* hints) {
  Ref descriptors = record_fields::descriptors_of(cls);
  Ref children = descriptors ? Ref::steal(PyList_New(0)) : nullptr;
  if (!children) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(descriptors.get()); ++i) {
    PyObject* descriptor = PyTuple_GET_ITEM(descriptors.get(), i);
    Ref name = Ref::steal(PyObject_GetAttr(descriptor, kName));
    Ref sub_meta = name ? caller_field_metadata(md, name) : nullptr;
    if (!sub_meta) return nullptr;
    if (names != Py_None) {
      int selected = PySequence_Contains(names, name);
      if (selected < 0) return nullptr;
      if (!selected) continue;
    }
    Ref child = child_field(cls, descriptor, name, sub_meta, value, hints);
    if (!child || PyList_Append(children, child) < 0) return nullptr;
  }
  return children;
}

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  rt::RecursionGuard guard(" while building record fields");
  if (!guard) return nullptr;
  PyObject* cls = args[0];
  PyObject* value = args[1];
  if (!record_fields::check_field_names(cls)) return nullptr;
  Ref md = Ref::steal(args[4] == Py_None ? PyDict_New() : PyDict_Copy(args[4]));
  if (!md || !content_fields::refuse_given_default(md)) return nullptr;
  Ref name = content_fields::name_or_type_key(cls, args[3], content_fields::KeyCheck::kAny);
  if (!name) return nullptr;
  int has_fields = PyDict_Contains(md, kFields);
  if (has_fields != 0) {
    return has_fields < 0 ? nullptr
                          : rt::raise_global(kMetadataError, PyUnicode_FromString("Ambiguous fields provided in metadata."));
  }
  bool resolved = false;
  Ref hints = type_hints(cls, resolved);
  PyObject* names = nullptr;
  if (!hints || PyDict_Pop(md, kNames, &names) < 0) return nullptr;
  Ref owned_names = names ? Ref::steal(names) : Ref::borrow(Py_None);
  int names_ok = valid_names(owned_names);
  if (names_ok <= 0) return names_ok < 0 ? nullptr : invalid_names(cls);
  // The children join the metadata only now, after the per-field entries
  // were taken out by name: a record field called "fields" must not take
  // them. Appended last, they keep the key order the group always had.
  Ref children = child_fields(cls, md, owned_names, value, hints);
  if (!children || PyDict_Pop(md, kContent, nullptr) < 0 || PyDict_SetItem(md, kFields, children) < 0) return nullptr;
  return content_fields::instantiate(kFieldData, name, md);
}

// --- from_defaults -----------------------------------------------------------------

PyObject* expected_dict(PyObject* cls, PyObject* data) { return raise_expected(kQuorvelError, cls, "dict data", data); }

// --- the parse plan of a record class ----------------------------------------------

// What parsing needs of one field, read once from its descriptor.
struct FieldPlan {
  Ref name;
  bool init = true;
  Ref fallback;  // the default, or MISSING
  Ref factory;   // the default factory, or MISSING
  Ref alias;
  parse_call::Route route = parse_call::Route::kDispatch;
};

// The state of a class and of its metaclass. While neither changed, nothing
// found through them did: their attributes along both MROs, and so the
// class's `__dataclass_fields__` and the descriptor method it inherits.
class ClassStates {
 public:
  void record(PyObject* cls) {
    class_state_.record(cls);
    metaclass_state_.record(reinterpret_cast<PyObject*>(Py_TYPE(cls)));
  }
  bool unchanged(PyObject* cls) const {
    return class_state_.unchanged(cls) && metaclass_state_.unchanged(reinterpret_cast<PyObject*>(Py_TYPE(cls)));
  }

 private:
  rt::TypeState class_state_;
  rt::TypeState metaclass_state_;
};

struct RecordPlan {
  Ref key;  // the `__dataclass_fields__` the plan was read from, when it may be kept
  ClassStates states;  // as they were when `key` was last found standing
  std::vector<FieldPlan> fields;
  Ref names;  // frozenset of every field name
};

// Plans of record classes whose descriptors and hints are their own (not an
// overridden get_subfield_descriptors, hints resolved), kept with the
// `__dataclass_fields__` they were read from.
rt::PlanCache<RecordPlan> plan_cache;
using HeldPlan = rt::PlanCache<RecordPlan>::Held;

bool read_field(PyObject* descriptor, PyObject* hints, FieldPlan& field) {
  field.name = Ref::steal(PyObject_GetAttr(descriptor, kName));
  Ref init = field.name ? Ref::steal(PyObject_GetAttr(descriptor, kInit)) : nullptr;
  int init_flag = init ? PyObject_IsTrue(init) : -1;
  field.init = init_flag > 0;
  field.fallback = init_flag >= 0 ? Ref::steal(PyObject_GetAttr(descriptor, kDefault)) : nullptr;
  field.factory = field.fallback ? Ref::steal(PyObject_GetAttr(descriptor, kDefaultFactory)) : nullptr;
  field.alias = field.factory ? record_fields::field_annotation(hints, descriptor, field.name) : nullptr;
  if (!field.alias) return false;
  field.route = parse_call::route_of(field.alias);
  return true;
}

bool build_plan(PyObject* cls, PyObject* hints, RecordPlan& plan) {
  Ref descriptors = record_fields::descriptors_of(cls);
  plan.names = descriptors ? Ref::steal(PyFrozenSet_New(nullptr)) : nullptr;
  if (!plan.names) return false;
  Py_ssize_t count = PyTuple_GET_SIZE(descriptors.get());
  plan.fields.resize(count);
  for (Py_ssize_t i = 0; i < count; ++i) {
    FieldPlan& field = plan.fields[i];
    if (!read_field(PyTuple_GET_ITEM(descriptors.get(), i), hints, field) || PySet_Add(plan.names, field.name) < 0) {
      return false;
    }
  }
  return true;
}

// The `__dataclass_fields__` a plan of `cls` is kept with, when `cls` may
// have one: it reads its descriptors through the stock method. nullptr,
// without an error, otherwise.
Ref plan_key(PyObject* cls) {
  if (!PyType_Check(cls) || !record_fields::stock_descriptors(cls)) return nullptr;
  Ref current = rt::attr(cls, kDunderDataclassFields);
  if (!current) PyErr_Clear();
  return current;
}

// The plan of `cls`: the cached one while its key still stands (certainly
// while the class and its metaclass are unchanged), else one built now (and
// cached when the type hints resolved), once the names of its fields were
// checked.
HeldPlan plan_for(PyObject* cls) {
  HeldPlan held = plan_cache.find(cls);
  if (held && held->states.unchanged(cls)) return held;
  // Recorded before the key is read, so that a change made meanwhile shows.
  ClassStates states;
  states.record(cls);
  Ref key = plan_key(cls);
  if (key && held && held->key.get() == key.get()) {
    held->states = states;
    return held;
  }
  if (!record_fields::check_field_names(cls)) return {};
  bool resolved = false;
  Ref hints = type_hints(cls, resolved);
  auto plan = std::make_unique<RecordPlan>();
  if (!hints || !build_plan(cls, hints, *plan)) return {};
  plan->key = key;
  plan->states = states;
  return plan_cache.keep(std::move(plan), key && resolved ? cls : nullptr);
}

// --- from_defaults, continued ------------------------------------------------------

// Keys that name no field. Keys of init=False fields are accepted (and their
// values ignored), so a record reads back the defaults it writes.
// The keys that name no field, sorted (raises the error when there are any).
bool report_unexpected(PyObject* cls, PyObject* data, PyObject* names) {
  Ref keys = Ref::steal(PyObject_GetIter(data));
  Ref unexpected = keys ? Ref::steal(PySet_New(nullptr)) : nullptr;
  if (!unexpected) return false;
  while (Ref key = Ref::steal(PyIter_Next(keys))) {
    int known = PySet_Contains(names, key);
    if (known < 0 || (!known && PySet_Add(unexpected, key) < 0)) return false;
  }
  if (PyErr_Occurred()) return false;
  if (PySet_GET_SIZE(unexpected.get()) == 0) return true;
  Ref sorted = Ref::steal(PySequence_List(unexpected));
  Ref shown = sorted && PyList_Sort(sorted) == 0 ? display_name(cls) : nullptr;
  Ref listed = shown ? value_text::repr(sorted) : nullptr;
  if (!listed) return false;
  rt::raise_global(kValidationError, PyUnicode_FromFormat("Unexpected fields for %U: %U", shown.get(), listed.get()));
  return false;
}

// data.get(name, MISSING)
Ref provided(PyObject* data, PyObject* name, PyObject* missing) {
  if (PyDict_CheckExact(data)) {
    PyObject* raw = nullptr;
    if (PyDict_GetItemRef(data, name, &raw) < 0) return nullptr;
    return raw ? Ref::steal(raw) : Ref::borrow(missing);
  }
  return Ref::steal(PyObject_CallMethodObjArgs(data, kGet, name, missing, nullptr));
}

// The data's value for every field (MISSING where it has none; init=False
// fields are looked up only to know their key), then the check that no key
// names something else: when every key matched a field, there is none.
// The data's values for the fields of one record: on the stack for the usual
// few fields, so that parsing a record allocates nothing for them.
class FieldValues {
 public:
  explicit FieldValues(Py_ssize_t count) : heap_(count > kOnStack ? count : 0) {}
  Ref& operator[](Py_ssize_t index) { return heap_.empty() ? on_stack_[index] : heap_[index]; }

 private:
  static constexpr Py_ssize_t kOnStack = 16;
  std::array<Ref, kOnStack> on_stack_;
  std::vector<Ref> heap_;
};

bool gather(PyObject* cls, PyObject* data, const RecordPlan& plan, PyObject* missing, FieldValues& raw) {
  Py_ssize_t matched = 0;
  for (size_t i = 0; i < plan.fields.size(); ++i) {
    const FieldPlan& field = plan.fields[i];
    Ref value = provided(data, field.name, missing);
    if (!value) return false;
    matched += value.get() != missing;
    raw[i] = field.init ? std::move(value) : Ref::borrow(missing);
  }
  if (PyDict_CheckExact(data) && matched == PyDict_GET_SIZE(data)) return true;
  return report_unexpected(cls, data, plan.names);
}

// Failures name the field and are located where the failing value is, inside the field.
[[gnu::cold, gnu::noinline]] std::nullptr_t field_not_parsed(PyObject* cls, PyObject* name, PyObject* raw) {
  rt::reraise(kQuorvelError, true, [&](PyObject*) -> Ref {
    Ref shown = display_name(cls);
    Ref value_text = shown ? rt::call_global(kDisplayValue, raw) : nullptr;
    if (!value_text) return nullptr;
    return Ref::steal(PyUnicode_FromFormat("Failed to parse field %U.%S from %R instance %R.", shown.get(), name,
                                           reinterpret_cast<PyObject*>(Py_TYPE(raw)), value_text.get()));
  });
  return rt::locate_wrapper(kQuorvelError, name);
}

// from_defaults(data=raw, alias=<the field's annotation>)
Ref parse_field(PyObject* parse, PyObject* cls, const FieldPlan& field, PyObject* raw) {
  Ref parsed = parse_call::from_defaults_routed(parse, field.route, raw, field.alias);
  if (parsed || !PyErr_ExceptionMatches(PyExc_Exception)) return parsed;
  if (PyType_Check(field.alias.get())) record_fields::explain_failure(field.alias.get());
  return field_not_parsed(cls, field.name, raw);
}


struct ParseContext {
  PyObject* cls;
  PyObject* inst;
  PyObject* data;
  PyObject* missing;
  PyObject* parse;
};

[[gnu::cold, gnu::noinline]] std::nullptr_t required_field_missing(PyObject* name) {
  // Located at the field's key, where the data lacks a value.
  rt::raise_global(kQuorvelError, PyUnicode_FromFormat("Attribute %S does not have a default / default factory and is not "
                                                   "provided but required for initialization!",
                                                   name));
  return rt::locate(kQuorvelError, {name});
}

// The value a field gets when the data does not provide it. `unset` when it
// stays unset (a non-init field without default).
Ref fallback_value(const FieldPlan& field, PyObject* missing, bool& unset) {
  if (field.fallback.get() != missing) return field.fallback;
  if (field.factory.get() != missing) return Ref::steal(PyObject_CallNoArgs(field.factory));
  if (!field.init) {
    unset = true;
    return nullptr;
  }
  return required_field_missing(field.name);
}

bool fill_field(const ParseContext& context, const FieldPlan& field, PyObject* raw) {
  if (raw != context.missing) {
    Ref parsed = parse_field(context.parse, context.cls, field, raw);
    return parsed && PyObject_GenericSetAttr(context.inst, field.name, parsed) == 0;
  }
  bool unset = false;
  Ref value = fallback_value(field, context.missing, unset);
  if (unset) return true;
  // object.__setattr__: custom or frozen __setattr__ is bypassed.
  return value && PyObject_GenericSetAttr(context.inst, field.name, value) == 0;
}

bool run_post_init(PyObject* inst, PyObject* field_names) {
  // Nothing to look up when neither the class nor a field provides the hook.
  int field_hook = rt::mro_lookup(Py_TYPE(inst), kDunderPostInit) ? 1 : PySet_Contains(field_names, kDunderPostInit);
  if (field_hook <= 0) return field_hook == 0;
  PyObject* hook = nullptr;
  if (PyObject_GetOptionalAttr(inst, kDunderPostInit, &hook) < 0) return false;
  if (hook == nullptr) return true;
  Ref owned = Ref::steal(hook);
  if (!PyCallable_Check(hook)) return true;
  return static_cast<bool>(Ref::steal(PyObject_CallNoArgs(hook)));
}

Ref new_instance(PyObject* maybe_class) {
  // Reachable with anything through the unbound classmethod.
  if (!PyType_Check(maybe_class)) {
    PyErr_Format(PyExc_TypeError, "from_defaults() needs a class, got %.200s", Py_TYPE(maybe_class)->tp_name);
    return nullptr;
  }
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(maybe_class);
  if (cls->tp_new == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances", cls->tp_name);
    return nullptr;
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  return no_args ? Ref::steal(cls->tp_new(cls, no_args, nullptr)) : nullptr;
}

PyObject* parse_record(PyObject* cls, PyObject* data) {
  rt::RecursionGuard guard(" while parsing a record");
  if (!guard) return nullptr;
  if (!PyDict_Check(data)) return expected_dict(cls, data);
  // The instance is made without running __init__: cls.__new__(cls), which
  // the class's tp_new slot is (it follows a Python-level __new__ too).
  Ref inst = new_instance(cls);
  HeldPlan plan = inst ? plan_for(cls) : HeldPlan{};
  Ref missing = plan ? kMissing.get() : nullptr;
  if (!missing) return nullptr;
  const std::vector<FieldPlan>& fields = plan->fields;
  FieldValues raw(static_cast<Py_ssize_t>(fields.size()));
  if (!gather(cls, data, *plan.plan, missing, raw)) return nullptr;
  Ref parse = kFromDefaults.get();
  if (!parse) return nullptr;
  ParseContext context = {cls, inst, data, missing, parse};
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!fill_field(context, fields[i], raw[i])) return nullptr;
  }
  if (!run_post_init(inst, plan->names)) return nullptr;
  return inst.release();
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) { return parse_record(args[0], args[1]); }

PyObject* parse_own(PyObject* cls, PyObject* data, PyObject*) { return parse_record(cls, data); }

// Other modules parse records of classes that keep this `from_defaults`
// directly; the classmethod is filled in once ConfigData exists.
module_api::Kind api = {nullptr, parse_own};

// --- declarations --------------------------------------------------------------

constexpr auto kBuildFieldForTypeParams = content_fields::field_for_type_params("Type[ConfigData]", "ConfigData | None");
constexpr auto kFromDefaultsParams =
    content_fields::from_defaults_params("dict[str, Any] | None | Any", "Type[ConfigData]");

const rt::FunctionSpec kBuildFieldForType = {"build_field_for_type", content_fields::kFieldForTypeDoc,
                                             build_field_for_type, kBuildFieldForTypeParams,
                                             "FieldData | BaseField"};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", content_fields::kContentFromDefaultsDoc, from_defaults,
                                            kFromDefaultsParams, "ConfigData"};

PyObject* config_data(PyObject* module) {
  Ref base = Ref::steal(PyObject_GetAttrString(module, "BaseConfigurableData"));
  Ref dataclass = Ref::steal(PyObject_GetAttrString(module, "dataclass"));
  Ref bases = base ? rt::tuple_of(base.get()) : nullptr;
  if (!bases || !dataclass) return nullptr;
  Ref cls = rt::ClassBuilder(module, "ConfigData", "Nested dataclass content for grouped input fields.")
                .class_method(kBuildFieldForType)
                .class_method(kFromDefaultsSpec)
                .create(reinterpret_cast<PyObject*>(Py_TYPE(base.get())), bases);
  Ref record = cls ? Ref::steal(PyObject_CallOneArg(dataclass, cls)) : nullptr;
  return module_api::remember_own_parse(api, record) ? record.release() : nullptr;
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{"dataclasses", "dataclass"},
                                 {"dataclasses", "MISSING"},
                                 {"typing", "Any"},
                                 {"typing", "get_type_hints"},
                                 {"typing", "Type"},
                                 {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
                                 {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
                                 {"nimbrel.quorvel.data.parse", "from_defaults"},
                                 {"nimbrel.quorvel.data.serialize", "build_field"},
                                 {"nimbrel.quorvel.data.serialize", "instantiate_field"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelValidationError"},
                                 {"nimbrel.quorvel.core.naming", "display_class_name"},
                                 {"nimbrel.quorvel.core.naming", "display_value"},
                                 {"nimbrel.quorvel.fields.field_models", "BaseField"},
                                 {"nimbrel.quorvel.fields.field_models", "FieldData"},
                                 {"nimbrel.quorvel.typing.type_lookup", "type_key_class"}}) ||
      !hint_cache.init() || !plan_cache.init()) {
    return false;
  }
  Ref field = rt::import_from("dataclasses", "field");
  Ref plain_field = field ? Ref::steal(PyObject_CallNoArgs(field)) : nullptr;
  Py_XSETREF(no_metadata, plain_field ? PyObject_GetAttr(plain_field, kMetadata) : nullptr);
  return record_fields::init(module) && record_fields::init_contract_check(module) && no_metadata &&
         parse_call::remember_dispatcher(module) &&
         rt::add_object(module, "ConfigData", config_data(module)) &&
         module_api::export_kind(module, module_api::KindId::kRecord, api);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(record_content, "Record content: dataclass-style configuration classes with annotated fields.",
               quorvel::exec_module)
