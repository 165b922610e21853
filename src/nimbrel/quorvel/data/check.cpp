// Checking parsed configurations: the typed problems that parsing leaves out, reported as data.
//
// Parsing keeps primitives as they come, and the "min"/"max" bounds of the
// field metadata only reach the front end. `check` walks a configuration
// value against its annotations and reports every value of the wrong type
// and every number beyond its bounds, each located in the UI defaults.
#include <memory>
#include <optional>
#include <vector>

#include "annotation_kinds.hpp"
#include "content_glue.hpp"
#include "record_fields.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

using namespace annotation_kinds;

rt::Name kName("name");
rt::Name kMetadata("metadata");
rt::Name kValue("value");
rt::Name kTypeCode("type");
rt::Name kFrozen("frozen");
rt::Name kDunderDataclassFields("__dataclass_fields__");

rt::Global kDataclass("dataclass");
rt::Global kAny("Any");
rt::Global kProblem("Problem");

// --- annotations, compiled -----------------------------------------------------

struct Node {
  Kind kind = Kind::kAny;
  // For lists, optionals and unions: the content kind itself, rather than
  // list[T], T | None or A | B (which parsing turns into the content kind,
  // while a value built directly may hold them unwrapped).
  bool content = false;
  bool variadic = false;  // tuple[T, ...]
  Ref cls;                // what instances are checked against, and how the node is named
  Ref min;                // bounds of a number, from the field metadata
  Ref max;
  std::vector<Node> children;  // items, content, union members, tuple positions, or dict key and value
};

bool compile(PyObject* tp, PyObject* metadata, Node& node);

// The one child of a list or an optional, compiled from `tp` (looked into by
// its own class when there is none) with the metadata the form hands it.
bool compile_contained(PyObject* tp, PyObject* metadata, Node& node) {
  Ref inner;
  if (!child_metadata(metadata, kContent, inner)) return false;
  Node& child = node.children.emplace_back();
  if (tp == nullptr) {
    child.kind = Kind::kOwnKind;
    return true;
  }
  return compile(tp, inner, child);
}

// The members of a union, each with the metadata the form hands it.
bool compile_members(const std::vector<PyObject*>& members, PyObject* metadata, Node& node) {
  for (PyObject* member : members) {
    Ref child;
    if (!member_metadata(metadata, member, child)) return false;
    if (!compile(member, child, node.children.emplace_back())) return false;
  }
  return true;
}

// The members of the union `argument` (ConfigUnion's type argument).
bool compile_union_argument(PyObject* argument, PyObject* metadata, Node& node) {
  std::vector<PyObject*> members;
  Ref args = union_argument_members(argument, members);
  return args && compile_members(members, metadata, node);
}

// A content class: lists, optionals and unions are checked against their
// unparametrised kind, and what they hold against their type argument
// (looked into by its own class when they were not parametrised).
bool compile_class(PyObject* cls, PyObject* metadata, Node& node) {
  node.cls = Ref::borrow(cls);
  node.kind = plain_class_kind(cls);
  if (node.kind == Kind::kInt || node.kind == Kind::kFloat) {
    return read_bound(metadata, kMin, node.min) && read_bound(metadata, kMax, node.max);
  }
  Ref base;
  if (node.kind == Kind::kClass && !derived_kind(cls, node.kind, base)) return false;
  if (node.kind != Kind::kList && node.kind != Kind::kOptional && node.kind != Kind::kUnion) return true;
  node.content = true;
  node.cls = base;
  Ref argument;
  if (!type_argument(cls, argument)) return false;
  if (node.kind == Kind::kUnion && argument) return compile_union_argument(argument, metadata, node);
  return compile_contained(argument, metadata, node);
}

// An optional or a union under its plain spelling.
bool plain_wrapper(Kind kind, const rt::Global& content_kind, Node& node) {
  node.kind = kind;
  node.cls = content_kind.get();
  return static_cast<bool>(node.cls);
}

// A | B, and A | None (which parsing reads as ConfigOptional[A]); several
// members with None are an optional union, as parsing reads them.
bool compile_plain_union(PyObject* tp, PyObject* metadata, Node& node) {
  std::vector<PyObject*> members;
  bool optional = false;
  Ref args = plain_union_members(tp, members, optional);
  if (!args) return false;
  if (!optional) return plain_wrapper(Kind::kUnion, kConfigUnion, node) && compile_members(members, metadata, node);
  if (!plain_wrapper(Kind::kOptional, kConfigOptional, node)) return false;
  if (members.size() == 1) return compile_contained(members[0], metadata, node);
  Ref inner;
  if (!child_metadata(metadata, kContent, inner)) return false;
  Node& choice = node.children.emplace_back();
  return plain_wrapper(Kind::kUnion, kConfigUnion, choice) && compile_members(members, inner, choice);
}

// tuple[A, B], or tuple[T, ...] whose every position is a T.
bool compile_tuple(PyObject* args, Node& node) {
  node.kind = Kind::kTuple;
  Py_ssize_t count = PyTuple_GET_SIZE(args);
  node.variadic = count == 2 && PyTuple_GET_ITEM(args, 1) == Py_Ellipsis;
  for (Py_ssize_t i = 0; i < (node.variadic ? 1 : count); ++i) {
    if (!compile(PyTuple_GET_ITEM(args, i), nullptr, node.children.emplace_back())) return false;
  }
  return true;
}

// dict[K, V]; a dict with any other arguments is taken as a free JSON object.
bool compile_dict(PyObject* args, Node& node) {
  if (PyTuple_GET_SIZE(args) != 2) {
    node.kind = Kind::kJson;
    return true;
  }
  node.kind = Kind::kDict;
  return compile(PyTuple_GET_ITEM(args, 0), nullptr, node.children.emplace_back()) &&
         compile(PyTuple_GET_ITEM(args, 1), nullptr, node.children.emplace_back());
}

// A parametrised alias: unions, and the built-in containers. Anything else
// is no class, so nothing can be checked against it.
bool compile_alias(PyObject* tp, PyObject* origin, PyObject* metadata, Node& node) {
  // typing.Union is types.UnionType, so one comparison covers both spellings.
  Ref union_type = kUnionType.get();
  if (!union_type) return false;
  if (origin == union_type.get()) return compile_plain_union(tp, metadata, node);
  if (!PyType_Check(origin) || !is_container(origin)) return true;
  Ref args = type_args(tp);
  if (!args) return false;
  node.cls = Ref::borrow(origin);
  auto* container = reinterpret_cast<PyTypeObject*>(origin);
  if (PyType_IsSubtype(container, &PyTuple_Type)) return compile_tuple(args, node);
  if (PyType_IsSubtype(container, &PyDict_Type)) return compile_dict(args, node);
  node.kind = Kind::kList;
  return compile_contained(PyTuple_GET_SIZE(args.get()) > 0 ? PyTuple_GET_ITEM(args.get(), 0) : nullptr, metadata,
                           node);
}

// Compiles the annotation `tp` of a field whose metadata is `metadata` (nullptr for none).
bool compile(PyObject* tp, PyObject* metadata, Node& node) {
  rt::RecursionGuard guard(" while reading annotations");
  if (!guard) return false;
  Ref any = kAny.get();
  if (!any) return false;
  // Any is a class, but nothing is checked against it; text is an annotation that did not resolve.
  if (tp == any.get() || PyUnicode_Check(tp)) return true;
  Ref origin = rt::typing_origin(kGetOrigin, tp);
  if (!origin) return false;
  if (origin.get() != Py_None) return compile_alias(tp, origin, metadata, node);
  return PyType_Check(tp) ? compile_class(tp, metadata, node) : true;
}

// --- record plans ----------------------------------------------------------------

struct FieldCheck {
  Ref name;
  Node node;
};

// The checks of one record class's fields, in declaration order.
struct RecordPlan {
  Ref token;  // the `__dataclass_fields__` the plan was read from, nullptr when it is not kept
  std::vector<FieldCheck> fields;
};

constexpr const char* kPlanCapsuleName = "nimbrel.quorvel.data.check.RecordPlan";

const RecordPlan* plan_in(PyObject* capsule) {
  return static_cast<const RecordPlan*>(PyCapsule_GetPointer(capsule, kPlanCapsuleName));
}

void free_plan(PyObject* capsule) { delete plan_in(capsule); }

// Plans of record classes whose descriptors are read the stock way and whose
// annotations all resolved, kept with the `__dataclass_fields__` they were
// read from: a class that is decorated again gets a new one, and its plan is
// then compiled anew.
rt::ClassCache plan_cache;

bool compile_field(PyObject* descriptor, PyObject* hints, FieldCheck& field) {
  field.name = Ref::steal(PyObject_GetAttr(descriptor, kName));
  Ref annotation = field.name ? record_fields::field_annotation(hints, descriptor, field.name) : nullptr;
  Ref metadata = annotation ? Ref::steal(PyObject_GetAttr(descriptor, kMetadata)) : nullptr;
  return metadata && compile(annotation, metadata, field.node);
}

// A capsule holding the plan of `cls`; `resolved` tells whether every annotation resolved.
Ref compile_plan(PyObject* cls, PyObject* token, bool& resolved) {
  Ref hints = record_fields::type_hints(cls, resolved);
  Ref descriptors = hints ? record_fields::descriptors_of(cls) : nullptr;
  if (!descriptors) return nullptr;
  auto plan = std::make_unique<RecordPlan>();
  plan->token = Ref::borrow(token);
  plan->fields.resize(PyTuple_GET_SIZE(descriptors.get()));
  for (size_t i = 0; i < plan->fields.size(); ++i) {
    if (!compile_field(PyTuple_GET_ITEM(descriptors.get(), i), hints, plan->fields[i])) return nullptr;
  }
  Ref capsule = Ref::steal(PyCapsule_New(plan.get(), kPlanCapsuleName, free_plan));
  if (capsule) plan.release();
  return capsule;
}

// The plan of the record class `cls`, in a capsule.
Ref plan_for(PyObject* cls) {
  Ref token = record_fields::stock_descriptors(cls) ? rt::attr(cls, kDunderDataclassFields) : nullptr;
  if (!token) PyErr_Clear();
  if (token) {
    Ref cached = plan_cache.find(cls);
    if (cached && plan_in(cached)->token.get() == token.get()) return cached;
  }
  bool resolved = false;
  Ref capsule = compile_plan(cls, token, resolved);
  // Classes that cannot be weakly referenced are simply not cached.
  if (capsule && token && resolved && !plan_cache.store(cls, capsule)) PyErr_Clear();
  return capsule;
}

// --- locations -------------------------------------------------------------------

// One step of the path from the checked value down to where the walk is.
// Objects are borrowed (the walk frame that pushed the step holds them) and
// become the items of a location only when a problem is reported.
struct Step {
  enum class Kind : unsigned char {
    kText,       // a field name, or "content"
    kIndex,      // a tuple position, or an item of a plain list
    kRow,        // an item of a ConfigList: its index, then "content" (its row is {"content": item})
    kKey,        // a dict key
    kSelection,  // a union's content: the type key of its class (its defaults are {"selection": key, key: ...})
  };
  Kind kind;
  PyObject* object = nullptr;
  Py_ssize_t index = 0;
};

// A dict key as the UI data spells it: an enumeration member by its value.
Ref key_item(PyObject* key) {
  Ref enumeration = kEnum.get();
  int member = enumeration ? rt::is_instance(key, enumeration) : -1;
  if (member < 0) return nullptr;
  return member ? Ref::steal(PyObject_GetAttr(key, kValue)) : Ref::borrow(key);
}

Ref step_item(const Step& step) {
  switch (step.kind) {
    case Step::Kind::kText:
      return Ref::borrow(step.object);
    case Step::Kind::kIndex:
    case Step::Kind::kRow:
      return Ref::steal(PyLong_FromSsize_t(step.index));
    case Step::Kind::kKey:
      return key_item(step.object);
    case Step::Kind::kSelection:
      return rt::call_global(kTypeKeyClass, reinterpret_cast<PyObject*>(Py_TYPE(step.object)));
  }
  return nullptr;
}

Ref location_of(const std::vector<Step>& path) {
  Ref items = Ref::steal(PyList_New(0));
  if (!items) return nullptr;
  for (const Step& step : path) {
    Ref item = step_item(step);
    if (!item || PyList_Append(items, item) < 0) return nullptr;
    if (step.kind == Step::Kind::kRow && PyList_Append(items, kContent) < 0) return nullptr;
  }
  return Ref::steal(PyList_AsTuple(items));
}

// --- messages --------------------------------------------------------------------

Ref describe(const Node& node);

// The descriptions of `nodes`, joined by `separator`.
Ref joined(const std::vector<Node>& nodes, const char* separator) {
  Ref texts = Ref::steal(PyList_New(0));
  Ref glue = texts ? Ref::steal(PyUnicode_FromString(separator)) : nullptr;
  if (!glue) return nullptr;
  for (const Node& node : nodes) {
    Ref text = describe(node);
    if (!text || PyList_Append(texts, text) < 0) return nullptr;
  }
  return Ref::steal(PyUnicode_Join(glue, texts));
}

// What a container holds, as its subscript writes it.
Ref subscript(const Node& node) {
  if (node.kind == Kind::kUnion) return joined(node.children, " | ");
  if (node.kind == Kind::kTuple && node.children.empty()) return Ref::steal(PyUnicode_FromString("()"));
  Ref listed = joined(node.children, ", ");
  if (!listed || !node.variadic) return listed;
  return Ref::steal(PyUnicode_FromFormat("%U, ...", listed.get()));
}

// The annotation a node was compiled from, as messages name it.
Ref describe(const Node& node) {
  rt::RecursionGuard guard(" while describing a type");
  if (!guard) return nullptr;
  switch (node.kind) {
    case Kind::kAny:
    case Kind::kOwnKind:
      return Ref::steal(PyUnicode_FromString("Any"));
    case Kind::kOptional:
    case Kind::kUnion:
      if (node.content) break;
      if (node.kind == Kind::kUnion) return subscript(node);
      if (Ref inner = describe(node.children[0])) return Ref::steal(PyUnicode_FromFormat("%S | None", inner.get()));
      return nullptr;
    case Kind::kList:
    case Kind::kTuple:
    case Kind::kDict:
      break;
    default:
      return rt::call_global(kDisplayClassName, node.cls);
  }
  Ref name = rt::call_global(kDisplayClassName, node.cls);
  Ref inner = name ? subscript(node) : nullptr;
  return inner ? Ref::steal(PyUnicode_FromFormat("%S[%U]", name.get(), inner.get())) : nullptr;
}

// "<class> <shortened value>", or "nothing" where there is no value.
Ref found_text(PyObject* value) {
  if (value == nullptr) return Ref::steal(PyUnicode_FromString("nothing"));
  Ref type_name = rt::call_global(kDisplayClassName, reinterpret_cast<PyObject*>(Py_TYPE(value)));
  Ref shown = type_name ? rt::call_global(kDisplayValue, value) : nullptr;
  return shown ? Ref::steal(PyUnicode_FromFormat("%S %S", type_name.get(), shown.get())) : nullptr;
}

// --- the walk --------------------------------------------------------------------

int accepts(const Node& node, PyObject* value);

// The first member of a union that accepts `value`, into `found`: 1 when
// there is one, 0 when none does, -1 on error.
int matching_member(const Node& node, PyObject* value, const Node*& found) {
  for (const Node& member : node.children) {
    int fits = accepts(member, value);
    if (fits == 0) continue;
    if (fits > 0) found = &member;
    return fits;
  }
  return 0;
}

// An optional or a union holding a value of its content kind; the plain
// spellings also take what they hold unwrapped: a T for T | None, a member
// for A | B. None is an optional switched off, however it is spelled (the
// form shows it so).
int accepts_wrapper(const Node& node, PyObject* value) {
  rt::RecursionGuard guard(" while checking");
  if (!guard) return -1;
  if (node.kind == Kind::kOptional && value == Py_None) return 1;
  int wrapped = rt::is_instance(value, node.cls);
  if (wrapped != 0 || node.content) return wrapped;
  if (node.kind == Kind::kOptional) return accepts(node.children[0], value);
  const Node* member = nullptr;
  return matching_member(node, value, member);
}

// Whether `value` is of the node's type, without looking into it.
int accepts(const Node& node, PyObject* value) {
  switch (node.kind) {
    case Kind::kAny:
    case Kind::kOwnKind:
      return 1;
    case Kind::kInt:
      return PyLong_Check(value) && !PyBool_Check(value);
    case Kind::kFloat:
      return is_number(value);
    case Kind::kBool:
      return PyBool_Check(value);
    case Kind::kStr:
      return PyUnicode_Check(value);
    case Kind::kJson:
    case Kind::kDict:
      return PyDict_Check(value);
    case Kind::kTuple:
      return PyTuple_Check(value);
    case Kind::kClass:
    case Kind::kRecord:
    case Kind::kList:
      return rt::is_instance(value, node.cls);
    case Kind::kOptional:
    case Kind::kUnion:
      return accepts_wrapper(node, value);
  }
  return 0;
}

// Whether an optional or union value is wrapped in its content kind (as
// parsing leaves it), rather than held unwrapped under a plain spelling.
int is_wrapped(const Node& node, PyObject* value) { return node.content ? 1 : rt::is_instance(value, node.cls); }

class Walker {
 public:
  bool start() {
    path_.reserve(16);
    problems_ = Ref::steal(PyList_New(0));
    return static_cast<bool>(problems_);
  }

  PyObject* problems() { return problems_.release(); }

  // Checks `value` against `node`, and what it holds against the node's children.
  bool check(const Node& node, PyObject* value) {
    rt::RecursionGuard guard(" while checking");
    if (!guard) return false;
    int fits = accepts(node, value);
    if (fits <= 0) return fits == 0 && report_mismatch(node, value);
    return look_into(node, value) && check_bounds(node, value);
  }

 private:
  // Keeps a step on the path while the walk is below it.
  class Descent {
   public:
    Descent(std::vector<Step>& path, Step step) : path_(path) { path_.push_back(step); }
    ~Descent() { path_.pop_back(); }
    Descent(const Descent&) = delete;
    Descent& operator=(const Descent&) = delete;

   private:
    std::vector<Step>& path_;
  };

  bool look_into(const Node& node, PyObject* value) {
    switch (node.kind) {
      case Kind::kOwnKind:
        return walk_own_kind(value);
      case Kind::kRecord:
        return walk_record(value);
      case Kind::kList:
        return walk_items(node, value);
      case Kind::kTuple:
        return walk_tuple(node, value);
      case Kind::kDict:
        return walk_entries(node, value);
      case Kind::kOptional:
        return walk_optional(node, value);
      case Kind::kUnion:
        return walk_union(node, value);
      default:
        return true;
    }
  }

  bool walk_own_kind(PyObject* value) {
    Node own;
    return compile_class(reinterpret_cast<PyObject*>(Py_TYPE(value)), nullptr, own) && look_into(own, value);
  }

  // The fields a record's own class declares, in declaration order.
  bool walk_record(PyObject* record) {
    Ref plan = record_plan(reinterpret_cast<PyObject*>(Py_TYPE(record)));
    if (!plan) return false;
    for (const FieldCheck& field : plan_in(plan)->fields) {
      PyObject* raw = nullptr;
      int present = PyObject_GetOptionalAttr(record, field.name, &raw);
      if (present < 0) return false;
      Ref value = Ref::steal(raw);
      Descent at(path_, {Step::Kind::kText, field.name});
      if (!(present ? check(field.node, value) : report_missing(field.node))) return false;
    }
    return true;
  }

  // The plan of `cls`; the plan last used is kept at hand, as the records
  // of a list are mostly of one class.
  Ref record_plan(PyObject* cls) {
    if (cls == last_class_.get()) return last_plan_;
    Ref plan = plan_for(cls);
    if (plan) {
      last_class_ = Ref::borrow(cls);
      last_plan_ = plan;
    }
    return plan;
  }

  bool walk_items(const Node& node, PyObject* items) {
    int rows = node.content ? 1 : is_instance_of(items, kConfigList);
    if (rows < 0) return false;
    Step::Kind step = rows ? Step::Kind::kRow : Step::Kind::kIndex;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
      Descent at(path_, {step, nullptr, i});
      if (!check(node.children[0], item)) return false;
    }
    return true;
  }

  bool walk_tuple(const Node& node, PyObject* items) {
    Py_ssize_t count = PyTuple_GET_SIZE(items);
    if (!node.variadic && count != static_cast<Py_ssize_t>(node.children.size())) {
      return report_mismatch(node, items);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      Descent at(path_, {Step::Kind::kIndex, nullptr, i});
      if (!check(node.children[node.variadic ? 0 : i], PyTuple_GET_ITEM(items, i))) return false;
    }
    return true;
  }

  bool walk_entries(const Node& node, PyObject* entries) {
    const Node& key_node = node.children[0];
    Py_ssize_t position = 0;
    PyObject* raw_key = nullptr;
    PyObject* raw_value = nullptr;
    while (PyDict_Next(entries, &position, &raw_key, &raw_value)) {
      Ref key = Ref::borrow(raw_key);
      Ref value = Ref::borrow(raw_value);
      Descent at(path_, {Step::Kind::kKey, key});
      int fits = accepts(key_node, key);
      if (fits < 0 || (fits == 0 && !report_key(key_node, key))) return false;
      if (!check(node.children[1], value)) return false;
    }
    return true;
  }

  bool walk_optional(const Node& node, PyObject* value) {
    if (value == Py_None) return true;
    int wrapped = is_wrapped(node, value);
    if (wrapped <= 0) return wrapped == 0 && check(node.children[0], value);
    Ref content = Ref::steal(PyObject_GetAttr(value, kContent));
    if (!content) return false;
    if (content.get() == Py_None) return true;
    Descent at(path_, {Step::Kind::kText, kContent});
    return check(node.children[0], content);
  }

  // A union's content must be one of its members; it is reported at the
  // union's own location when it is none. An unwrapped value stands for
  // itself, in the union's place.
  bool walk_union(const Node& node, PyObject* value) {
    int wrapped = is_wrapped(node, value);
    if (wrapped < 0) return false;
    Ref content = wrapped ? Ref::steal(PyObject_GetAttr(value, kContent)) : Ref::borrow(value);
    if (!content) return false;
    if (wrapped && content.get() == Py_None) return report_content(node, nullptr);
    const Node* member = nullptr;
    int fits = matching_member(node, content, member);
    if (fits <= 0) return fits == 0 && report_content(node, content);
    std::optional<Descent> under_selection;
    if (wrapped) under_selection.emplace(path_, Step{Step::Kind::kSelection, content});
    return check(*member, content);
  }

  bool check_bounds(const Node& node, PyObject* number) {
    return within(node.min, number, Py_LT, kMin, "Value %S is below the minimum %S.") &&
           within(node.max, number, Py_GT, kMax, "Value %S is above the maximum %S.");
  }

  bool within(PyObject* bound, PyObject* number, int beyond_op, PyObject* code, const char* format) {
    if (bound == nullptr) return true;
    int beyond = PyObject_RichCompareBool(number, bound, beyond_op);
    if (beyond <= 0) return beyond == 0;
    return report_bound(code, format, number, bound);
  }

  // --- problems, built only when one is found --------------------------------

  static constexpr const char* kExpected = "Expected %S, got %U.";

  bool report_mismatch(const Node& node, PyObject* value) { return report_type(kExpected, describe(node), value); }

  bool report_missing(const Node& node) { return report_type(kExpected, describe(node), nullptr); }

  // A union whose content is none of its members; nullptr for no content.
  bool report_content(const Node& node, PyObject* content) {
    return report_type(kExpected, subscript(node), content);
  }

  bool report_key(const Node& key_node, PyObject* key) {
    return report_type("Expected %S key, got %U.", describe(key_node), key);
  }

  // A "type" problem: what was expected, and `value` (nullptr for nothing).
  bool report_type(const char* format, Ref expected, PyObject* value) {
    Ref found = expected ? found_text(value) : nullptr;
    return found && report(kTypeCode, Ref::steal(PyUnicode_FromFormat(format, expected.get(), found.get())));
  }

  bool report_bound(PyObject* code, const char* format, PyObject* number, PyObject* bound) {
    Ref shown_number = rt::call_global(kDisplayValue, number);
    Ref shown_bound = shown_number ? rt::call_global(kDisplayValue, bound) : nullptr;
    if (!shown_bound) return false;
    return report(code, Ref::steal(PyUnicode_FromFormat(format, shown_number.get(), shown_bound.get())));
  }

  // Appends Problem(location, pointer, code, message); `message` may be
  // nullptr with its error set.
  bool report(PyObject* code, Ref message) {
    Ref location = message ? location_of(path_) : nullptr;
    Ref pointer = location ? rt::json_pointer(location) : nullptr;
    Ref problem_class = pointer ? kProblem.get() : nullptr;
    if (!problem_class) return false;
    PyObject* args[] = {location.get(), pointer.get(), code, message.get()};
    Ref problem = Ref::steal(PyObject_Vectorcall(problem_class, args, 4, nullptr));
    return problem && PyList_Append(problems_, problem) == 0;
  }

  std::vector<Step> path_;
  Ref problems_;
  Ref last_class_;
  Ref last_plan_;
};

// --- check ------------------------------------------------------------------------

PyObject* not_content(PyObject* value) {
  PyErr_Format(PyExc_TypeError, "check() expects configurable content, got %.200s", Py_TYPE(value)->tp_name);
  return nullptr;
}

PyObject* check(rt::Function*, PyObject* const* args) {
  PyObject* value = args[0];
  Ref content_class = kBaseConfigurableData.get();
  int content = content_class ? rt::is_instance(value, content_class) : -1;
  if (content <= 0) return content < 0 ? nullptr : not_content(value);
  // The value is checked by its own class: a record by its fields, a list,
  // optional or union by its type argument.
  static const Node own_kind = {Kind::kOwnKind};
  Walker walker;
  return walker.start() && walker.check(own_kind, value) ? walker.problems() : nullptr;
}

// --- declarations ------------------------------------------------------------------

constexpr rt::Param kCheckParams[] = {{"value", "BaseConfigurableData"}};

const rt::FunctionSpec kCheckSpec = {
    "check",
    "Report the typed problems of a parsed configuration value.\n\n"
    "Parsing keeps primitives as they come and leaves the \"min\" and \"max\" bounds of the\n"
    "field metadata to the front end. This walks `value` against its annotations and\n"
    "returns every problem it finds, in data order: a value that is not of its annotated\n"
    "type (code \"type\"; what such a value holds is not looked into), and a number below\n"
    "its minimum or above its maximum (codes \"min\" and \"max\", both bounds inclusive).\n"
    "Each problem's location leads through `value.build_defaults()` to the value it is\n"
    "about, and its pointer is that location as a JSON Pointer. Problems in the data are\n"
    "never raised.\n\n"
    "Raises:\n"
    "    TypeError: If `value` is not configurable content.",
    check, kCheckParams, "list[Problem]"};

// @dataclass(frozen=True) class Problem
PyObject* problem_class(PyObject* module) {
  Ref bases = Ref::steal(PyTuple_New(0));
  Ref cls = bases ? rt::ClassBuilder(module, "Problem", "One problem `check` found in a configuration value.")
                        .annotate("location", "tuple[str | int, ...]")
                        .annotate("pointer", "str")
                        .annotate("code", "str")
                        .annotate("message", "str")
                        .create(reinterpret_cast<PyObject*>(&PyType_Type), bases)
                  : nullptr;
  Ref dataclass = cls ? kDataclass.get() : nullptr;
  Ref kwnames = dataclass ? rt::tuple_of(kFrozen.get()) : nullptr;
  if (!kwnames) return nullptr;
  PyObject* call_args[] = {cls.get(), Py_True};
  return PyObject_Vectorcall(dataclass, call_args, 1, kwnames);
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{"dataclasses", "dataclass"},
                                 {"enum", "Enum"},
                                 {"types", "UnionType"},
                                 {"typing", "Any"},
                                 {"typing", "get_args"},
                                 {"typing", "get_origin"},
                                 {"typing", "get_type_hints"},
                                 {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
                                 {"nimbrel.quorvel.data.record_content", "ConfigData"},
                                 {"nimbrel.quorvel.data.list_content", "ConfigList"},
                                 {"nimbrel.quorvel.data.optional_content", "ConfigOptional"},
                                 {"nimbrel.quorvel.data.union_content", "ConfigUnion"},
                                 {"nimbrel.quorvel.data.json_content", "ConfigUntypedDict"},
                                 {"nimbrel.quorvel.core.naming", "display_class_name"},
                                 {"nimbrel.quorvel.core.naming", "display_value"},
                                 {"nimbrel.quorvel.typing.type_lookup", "type_key_class"}}) ||
      !record_fields::init(module) || !plan_cache.init()) {
    return false;
  }
  return rt::add_object(module, "Problem", problem_class(module)) && rt::add_function(module, kCheckSpec);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(check, "Typed problems of parsed configurations: what parsing leaves out, reported as data.",
               quorvel::exec_module)
