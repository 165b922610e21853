// Reading a field annotation: which kind of content it describes, what it holds, and the metadata each part
// of it gets. Shared by the checks of parsed values and the JSON Schema, which must read annotations alike.
#pragma once

#include <vector>

#include "content_glue.hpp"
#include "runtime.hpp"

namespace quorvel::annotation_kinds {

inline rt::Name kContent("content");
inline rt::Name kMin("min");
inline rt::Name kMax("max");

inline rt::Global kConfigData("ConfigData");
inline rt::Global kConfigList("ConfigList");
inline rt::Global kConfigOptional("ConfigOptional");
inline rt::Global kConfigUnion("ConfigUnion");
inline rt::Global kConfigUntypedDict("ConfigUntypedDict");

// What a value of an annotation is.
enum class Kind : unsigned char {
  kAny,       // anything: Any, and annotations that cannot be checked
  kOwnKind,   // anything, looked into by its own class (unparametrised content kinds)
  kInt,       // an int, not a bool
  kFloat,     // an int or a float, not a bool
  kBool,
  kStr,
  kJson,      // dict or ConfigUntypedDict: any dict, not looked into
  kClass,     // an instance of the class, not looked into
  kRecord,    // an instance of the record class, then the fields of its own class
  kList,      // ConfigList[T] or list[T]
  kTuple,     // tuple[A, B] or tuple[T, ...]
  kDict,      // dict[K, V]
  kOptional,  // ConfigOptional[T] or T | None
  kUnion,     // ConfigUnion[A | B] or A | B
};

inline bool is_number(PyObject* value) {
  return (PyLong_Check(value) && !PyBool_Check(value)) || PyFloat_Check(value);
}

// `metadata[key]` into `entry`, nullptr when there is no metadata or no such entry.
inline bool metadata_entry(PyObject* metadata, PyObject* key, Ref& entry) {
  PyObject* found = nullptr;
  if (metadata != nullptr && PyMapping_GetOptionalItem(metadata, key, &found) < 0) return false;
  entry = Ref::steal(found);
  return true;
}

// The metadata the form hands a child field: `metadata[key]` when that is a dict.
inline bool child_metadata(PyObject* metadata, PyObject* key, Ref& child) {
  if (!metadata_entry(metadata, key, child)) return false;
  if (child && !PyDict_Check(child.get())) child = nullptr;
  return true;
}

// A bound that is not a number is ignored.
inline bool read_bound(PyObject* metadata, PyObject* key, Ref& bound) {
  if (!metadata_entry(metadata, key, bound)) return false;
  if (bound && !is_number(bound)) bound = nullptr;
  return true;
}

// The metadata the form hands a union member: the entry under its type key.
inline bool member_metadata(PyObject* metadata, PyObject* member, Ref& child) {
  if (metadata == nullptr) {
    child = nullptr;
    return true;
  }
  Ref key = rt::call_global(kTypeKeyClass, member);
  return key && child_metadata(metadata, key, child);
}

// int, float, bool and str have their own rules (a bool is no int here);
// dict is a free JSON object; any other class is kClass until its content
// kind is known.
inline Kind plain_class_kind(PyObject* cls) {
  struct Plain {
    PyTypeObject* type;
    Kind kind;
  };
  static const Plain kPlain[] = {{&PyLong_Type, Kind::kInt},
                                 {&PyFloat_Type, Kind::kFloat},
                                 {&PyBool_Type, Kind::kBool},
                                 {&PyUnicode_Type, Kind::kStr},
                                 {&PyDict_Type, Kind::kJson}};
  for (const Plain& plain : kPlain) {
    if (cls == reinterpret_cast<PyObject*>(plain.type)) return plain.kind;
  }
  return Kind::kClass;
}

// The content kinds a class may derive from, in the order they are tested:
// records first, as they are the most common (and their test the cheapest).
struct ContentKind {
  const rt::Global& base;
  Kind kind;
};

inline const ContentKind kContentKinds[] = {{kConfigData, Kind::kRecord},
                                            {kConfigList, Kind::kList},
                                            {kConfigOptional, Kind::kOptional},
                                            {kConfigUnion, Kind::kUnion},
                                            {kConfigUntypedDict, Kind::kJson}};

// The content kind the class `cls` derives from into `kind`, with that
// kind's class into `base`; `kind` stays as it is when there is none.
inline bool derived_kind(PyObject* cls, Kind& kind, Ref& base) {
  for (const ContentKind& content : kContentKinds) {
    base = content.base.get();
    int derives = base ? rt::is_subclass(cls, base) : -1;
    if (derives < 0) return false;
    if (derives) {
      kind = content.kind;
      break;
    }
  }
  return true;
}

// The first of `cls.__type_args__`, nullptr when the class was not parametrised.
inline bool type_argument(PyObject* cls, Ref& argument) {
  PyObject* args = nullptr;
  if (rt::optional_attr(cls, kDunderTypeArgs, &args) < 0) return false;
  Ref owned = Ref::steal(args);
  bool given = args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0;
  argument = given ? Ref::borrow(PyTuple_GET_ITEM(args, 0)) : nullptr;
  return true;
}

// `get_args(tp)` as a tuple.
inline Ref type_args(PyObject* tp) {
  Ref args = rt::call_global(kGetArgs, tp);
  return args ? Ref::steal(PySequence_Tuple(args)) : nullptr;
}

// The members of the union `argument` (ConfigUnion's type argument) into
// `members`, borrowed from the returned tuple; a single type stands for itself.
inline Ref union_argument_members(PyObject* argument, std::vector<PyObject*>& members) {
  Ref args = type_args(argument);
  if (!args) return nullptr;
  PyObject** first = &PyTuple_GET_ITEM(args.get(), 0);
  members.assign(first, first + PyTuple_GET_SIZE(args.get()));
  if (members.empty()) members.push_back(argument);
  return args;
}

// The members of the plain union `tp` other than None into `members`,
// borrowed from the returned tuple; `optional` tells whether None was one.
inline Ref plain_union_members(PyObject* tp, std::vector<PyObject*>& members, bool& optional) {
  Ref args = type_args(tp);
  if (!args) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
    PyObject* member = PyTuple_GET_ITEM(args.get(), i);
    if (member != reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) members.push_back(member);
  }
  optional = members.size() < static_cast<size_t>(PyTuple_GET_SIZE(args.get()));
  return args;
}

// Whether `origin`, a class, is one of the built-in containers parsing
// reads: a list, a tuple or a dict (or a subclass of one).
inline bool is_container(PyObject* origin) {
  auto* container = reinterpret_cast<PyTypeObject*>(origin);
  return PyType_IsSubtype(container, &PyList_Type) || PyType_IsSubtype(container, &PyTuple_Type) ||
         PyType_IsSubtype(container, &PyDict_Type);
}

}  // namespace quorvel::annotation_kinds
