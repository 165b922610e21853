// Union content: a value of one of several member types, selected in the form by type key.
#include <utility>
#include <vector>

#include "content_glue.hpp"
#include "content_plans.hpp"
#include "generic_content.hpp"
#include "record_fields.hpp"

namespace quorvel {
namespace {

using namespace generic_content;

rt::Name kSelected("selected");
rt::Name kSelection("selection");
rt::Name kContainedTypes("_contained_types");

rt::Global kRequireValidConfigValue("require_valid_config_value");
rt::Global kResolveGenericArgs("resolve_generic_args");
rt::Global kFieldUnion("FieldUnion");
rt::Global kValidationError("QuorvelValidationError");

// The union's members, each required to be configurable.
bool require_members(PyObject* cls, PyObject* members) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
    if (!require_config_type(cls, PyTuple_GET_ITEM(members, i))) return false;
  }
  return true;
}

// --- members that stored data could not tell apart ---------------------------

// Union data holds the selected member's type key under "selection" and the
// member's data under that key, so two members with one key (classes of one
// name from different modules) or a member keyed "selection" serialize into
// data that cannot be loaded back.

// Union classes whose own members were found clear. Only a class given as
// its own alias is recorded: a class may be asked about another alias's
// members, and an alias that is no class (a typing alias) is made anew for
// each form.
rt::ClassCache clear_unions;

template <typename... Args>
bool raise_unloadable(PyObject* cls, const char* format, Args... args) {
  Ref shown = rt::call_global(kDisplayClassName, cls);
  Ref message = shown ? Ref::steal(PyUnicode_FromFormat(format, shown.get(), args...)) : nullptr;
  if (message) rt::raise(record_fields::implementation_error, message);
  return false;
}

// The index of the first of `keys[0:count]` equal to `key`, else -1 (-2 on error).
Py_ssize_t earlier_key(PyObject* keys, Py_ssize_t count, PyObject* key) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(keys, i), key, Py_EQ);
    if (equal != 0) return equal < 0 ? -2 : i;
  }
  return -1;
}

// Raises QuorvelImplementationError when `classes`, the members `cls`
// resolved from `alias`, cannot be told apart in its data, or a member's
// fields hide a contract method.
bool check_members(PyObject* cls, PyObject* alias, PyObject* classes) {
  bool recorded = PyType_Check(alias);
  if (recorded && clear_unions.find(alias)) return true;
  Py_ssize_t count = PyList_GET_SIZE(classes);
  Ref keys = Ref::steal(PyTuple_New(count));
  if (!keys) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* member = PyList_GET_ITEM(classes, i);
    Ref key = record_fields::check_field_names(member) ? type_key(member) : nullptr;
    int reserved = key ? PyObject_RichCompareBool(key, kSelection, Py_EQ) : -1;
    if (reserved != 0) {
      return reserved > 0 && raise_unloadable(cls,
                                              "%U member %R has the type key 'selection', under which the union's "
                                              "data holds its selection; give the member a type_key class method "
                                              "that returns another key.",
                                              member);
    }
    Py_ssize_t earlier = earlier_key(keys, i, key);
    if (earlier != -1) {
      return earlier >= 0 && raise_unloadable(cls,
                                              "%U members %R and %R share the type key %R, so its data cannot tell "
                                              "them apart; give one of them a type_key class method that returns "
                                              "a key of its own.",
                                              PyList_GET_ITEM(classes, earlier), member, key.get());
    }
    PyTuple_SET_ITEM(keys.get(), i, key.release());
  }
  // Classes that cannot be weakly referenced are simply checked each time.
  if (recorded && !clear_unions.store(alias, Py_True)) PyErr_Clear();
  return true;
}

// [get_origin(t) or t for t in members], each a class.
Ref member_classes(PyObject* cls, PyObject* members) {
  Ref classes = Ref::steal(PyList_New(0));
  if (!classes) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
    PyObject* member = PyTuple_GET_ITEM(members, i);
    Ref member_class = origin_or_self(member);
    if (!member_class) return nullptr;
    if (!PyType_Check(member_class.get())) {
      return raise_about(kTypeResolutionError, cls, "%U members must be runtime types, got %R.", member);
    }
    if (PyList_Append(classes, member_class) < 0) return nullptr;
  }
  return classes;
}

PyObject* contained_types(rt::Function*, PyObject* const* args) {
  PyObject* cls = args[0];
  Ref arg = contained_arg(cls, args[1]);
  if (!arg) return nullptr;
  int is_member_union = 0;
  if (arg.get() != Py_None) {
    Ref origin = rt::typing_origin(kGetOrigin, arg);
    is_member_union = origin ? is_union(origin, {&kUnion, &kUnionType}) : -1;
  }
  if (is_member_union <= 0) {
    return is_member_union < 0 ? nullptr
                               : raise_about(kTypeResolutionError, cls,
                                             "%U parameter must be Union of PrimitiveTypes or BaseConfigurableData.");
  }
  Ref params = call_global(kResolveGenericArgs, arg);
  int has_params = params ? PyObject_IsTrue(params) : -1;
  if (has_params <= 0) {
    return has_params < 0 ? nullptr
                          : raise_about(kTypeResolutionError, cls,
                                        "%U must be of Union | UnionType with at least one argument.");
  }
  Ref members = Ref::steal(PySequence_Tuple(params));
  if (!members || !require_members(cls, members)) return nullptr;
  Ref classes = member_classes(cls, members);
  return classes && check_members(cls, args[1], classes) ? classes.release() : nullptr;
}

// `self.content`, read anew wherever it is used: the attribute may compute it.
Ref content_of(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, kContent)); }

// The type key of the current content, as the `selected` property gives it.
PyObject* selection_of(PyObject* self) {
  Ref content = content_of(self);
  if (!content) return nullptr;
  if (content.get() == Py_None) Py_RETURN_NONE;
  content = content_of(self);
  Ref valid = content ? call_global(kRequireValidConfigValue, content) : nullptr;
  if (!valid) {
    if (!content || rt::pending_is(kQuorvelError) <= 0) return nullptr;
    // The kind is named literally here, not by the display name of the class.
    return reraise_error(kValidationError, false, [&](PyObject* error) {
      Ref current = content_of(self);
      return current ? Ref::steal(PyUnicode_FromFormat("Invalid ConfigUnion content: %R: %S.",
                                                       reinterpret_cast<PyObject*>(Py_TYPE(current.get())), error))
                     : nullptr;
    });
  }
  content = content_of(self);
  return content ? call_global(kTypeKeyClass, reinterpret_cast<PyObject*>(Py_TYPE(content.get()))).release() : nullptr;
}

PyObject* selected(rt::Function*, PyObject* const* args) { return selection_of(args[0]); }

// ConfigUnion's own `selected` property, as its namespace holds it.
PyObject* own_selected = nullptr;

// `self.selected`: the property's getter called directly while the class
// looks attributes up the generic way and inherits the property, a data
// descriptor, which no instance attribute can hide.
Ref selected_value(PyObject* self) {
  if (Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr &&
      rt::inherits_own(reinterpret_cast<PyObject*>(Py_TYPE(self)), kSelected, own_selected)) {
    return Ref::steal(selection_of(self));
  }
  return Ref::steal(PyObject_GetAttr(self, kSelected));
}

// The field of one member: named by its key, holding the content only when
// that member is the selected one.
Ref member_field(PyObject* cls, PyObject* member, PyObject* selection, PyObject* content, PyObject* metadata) {
  Ref key = type_key(member);
  int chosen = key ? PyObject_RichCompareBool(selection, key, Py_EQ) : -1;
  if (chosen > 0) chosen = rt::is_instance(content, member);
  Ref child_metadata = chosen < 0 ? nullptr : child_metadata_copy(cls, metadata, key, [&] {
    return raise_about(kMetadataError, cls, "Ambiguous default value for union member %U.%S.", key.get());
  });
  if (!child_metadata || PyDict_SetItem(child_metadata, kDefault, chosen ? content : Py_None) < 0) return nullptr;
  return build_child_field(member, key, child_metadata);
}

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  rt::RecursionGuard guard(" while building fields");
  if (!guard) return nullptr;
  PyObject* cls = args[0];
  PyObject* value = args[1];
  FieldStart start;
  if (!start_field(args, Order::kAliasFirst, start)) return nullptr;
  // No class check on the value: anything with `selected` and `content` serves.
  Ref selection = Ref::borrow(Py_None);
  Ref content = Ref::borrow(Py_None);
  if (value != Py_None) {
    selection = checked(rt::Returns::kStr, Ref::steal(PyObject_GetAttr(value, kSelected)));
    content = selection ? Ref::steal(PyObject_GetAttr(value, kContent)) : nullptr;
    if (!content) return nullptr;
  }
  Ref children = Ref::steal(PyList_New(0));
  Ref members = children ? Ref::steal(PyObject_CallMethodOneArg(cls, kContainedTypes, start.type_specification))
                         : nullptr;
  if (!members) return nullptr;
  if (!PyList_CheckExact(members.get())) {
    return PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(members.get())->tp_name);
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
    Ref member = Ref::borrow(PyList_GET_ITEM(members.get(), i));
    Ref field = member_field(cls, member, selection, content, start.metadata);
    if (!field || PyList_Append(children, field) < 0) return nullptr;
  }
  if (!set_children(start.metadata, children, selection)) return nullptr;
  return content_fields::instantiate(kFieldUnion, start.name, start.metadata);
}

// Defaults are written without resolving the members, so the first defaults
// of a union class resolve them once to check them. A union that was never
// parametrised declares no members, and holds whatever it was given.
bool members_checked(PyObject* cls) {
  if (clear_unions.find(cls)) return true;
  Ref arg = contained_arg(cls, cls);
  if (!arg) return false;
  if (arg.get() == Py_None) {
    if (!clear_unions.store(cls, Py_True)) PyErr_Clear();
    return true;
  }
  Ref classes = checked(rt::Returns::kList, Ref::steal(PyObject_CallMethodOneArg(cls, kContainedTypes, cls)));
  return classes && check_members(cls, cls, classes);
}

// {"selection": self.selected, self.selected: build_defaults(self.content)}, within `run`.
PyObject* union_defaults(PyObject* self, module_api::DefaultsRun* run) {
  rt::RecursionGuard guard(" while building defaults");
  if (!guard) return nullptr;
  auto* own_class = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (!members_checked(own_class)) return nullptr;
  Ref selection = selected_value(self);
  if (!selection) return nullptr;
  if (selection.get() == Py_None) return raise_about(kValidationError, own_class, "%U needs an active selection.");
  Ref content = content_of(self);
  if (!content) return nullptr;
  if (content.get() == Py_None) {
    return raise_about(kValidationError, own_class, "%U selection %R has no content.", selection.get());
  }
  content = content_of(self);
  if (!content) return nullptr;
  module_api::InnerDefaults convert(kBuildDefaults, run);
  Ref inner = convert ? convert(content) : nullptr;
  Ref defaults = inner ? Ref::steal(PyDict_New()) : nullptr;
  if (!defaults || PyDict_SetItem(defaults, kSelection, selection) < 0 ||
      PyDict_SetItem(defaults, selection, inner) < 0) {
    return nullptr;
  }
  return defaults.release();
}

PyObject* build_defaults(rt::Function*, PyObject* const* args) { return union_defaults(args[0], nullptr); }

// The first member class whose type key is `selection`, or None; the scan
// stops at the first match.
Ref selected_member(PyObject* members, PyObject* selection) {
  Ref classes = Ref::steal(PyObject_GetIter(members));
  if (!classes) return nullptr;
  while (Ref member = Ref::steal(PyIter_Next(classes))) {
    Ref key = call_global(kTypeKeyClass, member);
    int match = key ? PyObject_RichCompareBool(key, selection, Py_EQ) : -1;
    if (match != 0) return match < 0 ? nullptr : member;
  }
  return PyErr_Occurred() ? nullptr : Ref::borrow(Py_None);
}

// --- the plan of a parametrised union class -----------------------------------

// One member class with its type key, kept while the class is unchanged.
// The key is asked for when a scan first reaches the member, as a scan stops
// at the first match.
struct Member {
  Ref cls;
  Ref key;  // nullptr until asked for
  rt::TypeState state;
  parse_call::Route route = parse_call::Route::kDispatch;
};

// The members of a union class, as `_contained_types` lists them, with their
// type keys. A key may come from a virtual subclass of SupportsTypeKey, so
// the plan also holds only while abc's cache token is the one it was made
// under.
struct UnionPlan {
  content_plans::Resolution resolution;
  long long abc_token = 0;
  std::vector<Member> members;
  content_plans::StockProof creation;
};

rt::PlanCache<UnionPlan> plans;
using HeldPlan = rt::PlanCache<UnionPlan>::Held;

// ConfigUnion's own `_contained_types`.
PyObject* own_contained_types = nullptr;

bool plan_holds(PyObject* cls, const UnionPlan& plan, long long token) {
  if (!plan.resolution.holds(cls) || plan.abc_token != token) return false;
  for (const Member& member : plan.members) {
    if (!member.state.unchanged(member.cls)) return false;
  }
  return true;
}

// The plan kept for `cls` when it still holds; none (without an error)
// otherwise. Only a class parsed with itself as the alias and whose
// `_contained_types` is the library's own has one.
HeldPlan kept_plan(PyObject* cls, long long token) {
  if (!rt::inherits_own(cls, kContainedTypes, own_contained_types)) return {};
  HeldPlan held = plans.find(cls);
  return held && plan_holds(cls, *held.plan, token) ? held : HeldPlan{};
}

// A plan made from the members `_contained_types` listed, or none (without
// an error) when a member's state cannot be recorded.
HeldPlan new_plan(PyObject* cls, content_plans::Resolution resolution, PyObject* members, long long token) {
  auto plan = std::make_unique<UnionPlan>();
  plan->resolution = resolution;
  plan->abc_token = token;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members); ++i) {
    Member& member = plan->members.emplace_back();
    member.cls = Ref::borrow(PyList_GET_ITEM(members, i));
    if (!member.state.record(member.cls)) return {};
    member.route = parse_call::route_of(member.cls);
  }
  return plans.keep(std::move(plan), cls);
}

// The member whose type key is `selection`, first match first, or none.
const Member* planned_member(UnionPlan& plan, PyObject* selection, bool& failed) {
  for (Member& member : plan.members) {
    if (!member.key && !(member.key = call_global(kTypeKeyClass, member.cls))) {
      failed = true;
      return nullptr;
    }
    int match = PyObject_RichCompareBool(member.key, selection, Py_EQ);
    failed = match < 0;
    if (match != 0) return failed ? nullptr : &member;
  }
  return nullptr;
}

// --- from_defaults, continued --------------------------------------------------

// The member data under the selection, parsed for `target`, the selected
// member (None when no member has that key).
Ref content_of_member(PyObject* cls, PyObject* data, PyObject* selection, PyObject* target, parse_call::Route route) {
  if (target == Py_None) {
    return raise_about(kValidationError, cls, "%U selection %R is not a valid member.", selection);
  }
  int present = PySequence_Contains(data, selection);
  if (present <= 0) {
    return present < 0 ? nullptr
                       : raise_about(kValidationError, cls, "%U selection %R is missing its content payload.",
                                     selection);
  }
  Ref member_data = get_entry(data, selection);
  Ref parse = member_data ? kFromDefaults.get() : nullptr;
  if (!parse) return nullptr;
  Ref content = parse_call::from_defaults_routed(parse, route, member_data, target);
  int fits = content ? rt::is_instance(content, target) : -1;
  if (fits > 0) return content;
  // Located at the member's data, which is what failed or did not fit.
  if (fits == 0) raise_about(kValidationError, cls, "%U selection %R produced incompatible content.", selection);
  return rt::locate(kQuorvelError, {selection});
}

// The content for the selection: with the class's plan when there is one,
// else by scanning the members `_contained_types` listed.
Ref selected_content(PyObject* cls, PyObject* data, const HeldPlan& plan, PyObject* members, PyObject* selection) {
  if (plan) {
    bool failed = false;
    const Member* member = planned_member(*plan.plan, selection, failed);
    if (failed) return nullptr;
    return member ? content_of_member(cls, data, selection, member->cls, member->route)
                  : content_of_member(cls, data, selection, Py_None, parse_call::Route::kDispatch);
  }
  Ref target = selected_member(members, selection);
  if (!target) return nullptr;
  return content_of_member(cls, data, selection, target, parse_call::quick_route(target));
}

// ConfigUnion's own dataclass `__init__`, as a call of a union class runs it.
content_plans::StockCreation stock;

// cls(content): library errors pass unchanged, any other Exception is
// reported as a parse failure caused by it.
PyObject* construct(PyObject* cls, content_plans::StockProof& creation, PyObject* selection, PyObject* content) {
  PyObject* instance = content_plans::make_holder(cls, creation, stock, kContent, content).release();
  if (instance != nullptr || !PyErr_ExceptionMatches(PyExc_Exception) || rt::pending_is(kQuorvelError) != 0) return instance;
  return reraise_error(kParseError, true, [&](PyObject*) {
    Ref shown = call_global(kDisplayClassName, cls);
    Ref content_name = shown ? call_global(kDisplayClassName, reinterpret_cast<PyObject*>(Py_TYPE(content))) : nullptr;
    return content_name ? Ref::steal(PyUnicode_FromFormat("Could not instantiate %U with selection %R and content of "
                                                          "type %U.",
                                                          shown.get(), selection, content_name.get()))
                        : nullptr;
  });
}

// The plan of `cls` parsed with `alias`, or none, and then the members as
// `cls._contained_types(alias)` lists them.
bool members_of(PyObject* cls, PyObject* alias, HeldPlan& plan, Ref& members) {
  bool plannable = alias == cls;
  long long token = 0;
  if (plannable && !rt::abc_cache_token(token)) return false;
  if (plannable && (plan = kept_plan(cls, token))) return true;
  content_plans::Resolution resolution;
  plannable = plannable && rt::inherits_own(cls, kContainedTypes, own_contained_types) && resolution.record(cls);
  members = checked(rt::Returns::kList, Ref::steal(PyObject_CallMethodOneArg(cls, kContainedTypes, alias)));
  if (!members) return false;
  if (plannable && PyList_CheckExact(members.get())) plan = new_plan(cls, resolution, members, token);
  return true;
}

PyObject* parse_union(PyObject* cls, PyObject* data, PyObject* given_alias) {
  rt::RecursionGuard guard(" while parsing");
  if (!guard) return nullptr;
  int aliased = PyObject_IsTrue(given_alias);
  if (aliased < 0) return nullptr;
  HeldPlan plan;
  Ref members;
  if (!members_of(cls, aliased ? given_alias : cls, plan, members)) return nullptr;
  int mapping = PyDict_CheckExact(data) ? 1 : PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyDict_Type));
  if (mapping <= 0) return mapping < 0 ? nullptr : raise_wrong_data(cls, "dict", data);
  Ref selection = get_entry(data, kSelection);
  if (!selection) return nullptr;
  if (selection.get() == Py_None) return raise_about(kValidationError, cls, "%U requires an active selection.");
  int text = PyUnicode_Check(selection.get())
                 ? 1
                 : PyObject_IsInstance(selection, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (text <= 0) {
    return text < 0 ? nullptr
                    : raise_about(kParseError, cls, "%U selection must be str, got %R.",
                                  reinterpret_cast<PyObject*>(Py_TYPE(selection.get())));
  }
  Ref content = selected_content(cls, data, plan, members, selection);
  if (!content) return nullptr;
  content_plans::StockProof unplanned;
  return construct(cls, plan ? plan->creation : unplanned, selection, content);
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) { return parse_union(args[0], args[1], args[2]); }

// Other modules parse union classes that keep this `from_defaults` directly;
// the classmethods are filled in once ConfigUnion exists.
module_api::Kind api = {nullptr, parse_union};

// ConfigUnion[...] takes exactly one union of configurable members.
PyObject* class_getitem(rt::Function* fn, PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* item = args[1];
  Ref origin = rt::typing_origin(kGetOrigin, item);
  int union_item = origin ? is_union(origin, {&kUnion, &kUnionType}, Py_NE) : -1;
  if (union_item <= 0) {
    return union_item < 0 ? nullptr
                          : raise_about(kTypeResolutionError, cls,
                                        "%U parameter must be Union[A, B, ...] or A | B | ..., got %R.", item);
  }
  Ref union_args = call_global(kGetArgs, item);
  Ref members = union_args ? Ref::steal(PySequence_Tuple(union_args)) : nullptr;
  if (!members) return nullptr;
  if (PyTuple_GET_SIZE(members.get()) == 0) {
    return raise_about(kTypeResolutionError, cls, "%U must have Union/UnionType arguments .");
  }
  return require_members(cls, members) ? parametrised(fn, cls, item) : nullptr;
}

// --- declarations ------------------------------------------------------------

constexpr auto kBuildFieldForTypeParams = content_fields::field_for_type_params("Type[ConfigUnion[U]]", "ConfigUnion[U] | None");
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any");

const rt::FunctionSpec kContainedTypesSpec = {
    "_contained_types",
    "Simple utility function that checks the member args and returns them.\n\n"
    "        Given ConfigUnion[Union[A, ...]] or ConfigUnion[A | B | ...] this returns [A, B, ...] and checks that they\n"
    "        adhere to the constraints formulated in the type annotations.\n"
    "        ",
    contained_types, kContainedTypeParams, "list[Type[Any]]"};
const rt::FunctionSpec kSelectedSpec = {"selected", "Return the identifier of the current selection.", selected,
                                        kSelfParams, "str | None"};
const rt::FunctionSpec kBuildFieldForTypeSpec = {
    "build_field_for_type", "Transform an instance of this class or None into the representation of this class.",
    build_field_for_type, kBuildFieldForTypeParams, "FieldUnion | BaseField"};
const rt::FunctionSpec kBuildDefaultsSpec = {"build_defaults", kNestedDefaultsDoc, build_defaults, kSelfParams,
                                             "dict[str, Any]"};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", kFromDefaultsDoc, from_defaults, kFromDefaultsParams,
                                            "ConfigUnion[U]"};
const rt::FunctionSpec kClassGetitemSpec = {"__class_getitem__", kClassGetitemDoc, class_getitem,
                                            kClassGetitemParams, "Any"};

constexpr const char* kConfigUnionDoc =
    "Templated union of multiple types selectable via UI.\n\n"
    "    Allowed:\n"
    "    - ConfigUnion[A | B | ...] where A, B, ... are of type BaseConfigurableData or PrimitiveTypes.\n"
    "    - ConfigUnion[Union[A, ...]] where A, ... are of type BaseConfigurableData or PrimitiveTypes.\n\n"
    "    Example allowed:\n"
    "        - ConfigUnion[Union[A, int]]\n"
    "        - ConfigUnion[Union[int]]\n"
    "        - ConfigUnion[int | A]\n\n"
    "    Example disallowed:\n"
    "         - ConfigUnion[int | type(None)]\n"
    "         - ConfigUnion[X | A] where X is neither of type BaseConfigurableData or PrimitiveTypes\n"
    "         - ConfigUnion[Union[X, A]] where X is neither of type BaseConfigurableData or PrimitiveTypes\n"
    "         - ConfigUnion (without parameters). This cannot be checked at annotation time, but at instantiation\n"
    "         - ConfigUnion[A] where A is arbitrary (can be BaseConfigurableData or PrimitiveTypes).\n"
    "    ";

// @dataclass class ConfigUnion(GenericWithArgs, Generic[U], BaseConfigurableData)
PyObject* config_union(PyObject* module) {
  Ref bases = generic_bases(generic_of(module, "U"));
  if (!bases) return nullptr;
  rt::ClassBuilder builder(module, "ConfigUnion", kConfigUnionDoc);
  builder.annotate("content", "ConfigValue | None").set("content", Py_NewRef(Py_None)).class_method(kContainedTypesSpec);
  Ref getter = builder.function(kSelectedSpec);
  builder.set("selected",
              getter ? PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter) : nullptr)
      .class_method(kBuildFieldForTypeSpec)
      .method(kBuildDefaultsSpec)
      .class_method(kFromDefaultsSpec)
      .class_method(kClassGetitemSpec);
  return as_dataclass(module, builder.create_from_bases(bases));
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {
      {"dataclasses", "dataclass"},
      {"types", "UnionType"},
      {"typing", "TypeVar"},
      {"typing", "Generic"},
      {"typing", "Union"},
      {"typing", "get_origin"},
      {"typing", "get_args"},
      {"typing", "Any"},
      {"typing", "Type"},
      {"nimbrel.quorvel.data.content_core", "ConfigValue"},
      {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
      {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
      {"nimbrel.quorvel.data.content_core", "require_valid_config_type"},
      {"nimbrel.quorvel.data.content_core", "require_valid_config_value"},
      {"nimbrel.quorvel.data.content_core", "build_defaults"},
      {"nimbrel.quorvel.data.parse", "from_defaults"},
      {"nimbrel.quorvel.data.serialize", "build_field"},
      {"nimbrel.quorvel.data.serialize", "instantiate_field"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelParseError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelValidationError"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.fields.field_models", "FieldUnion"},
      {"nimbrel.quorvel.typing.generic_params", "GenericWithArgs"},
      {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_arg"},
      {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_args"},
      {"nimbrel.quorvel.typing.type_lookup", "type_key_class"},
      })) {
    return false;
  }
  if (!init_keywords(module) || !record_fields::init_contract_check(module) || !clear_unions.init() ||
      !add_type_var(module, "U") || !plans.init()) {
    return false;
  }
  Ref union_class = Ref::steal(config_union(module));
  Py_XSETREF(own_contained_types, union_class ? module_api::namespace_entry(union_class, kContainedTypes) : nullptr);
  Py_XSETREF(own_selected, union_class ? module_api::namespace_entry(union_class, kSelected) : nullptr);
  return own_contained_types && own_selected && stock.remember(union_class) &&
         module_api::add_kind_class(module, "ConfigUnion", std::move(union_class), api, union_defaults,
                                    module_api::KindId::kUnion);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(union_content, "Union content: one of several member types, selected by type key.",
               quorvel::exec_module)
