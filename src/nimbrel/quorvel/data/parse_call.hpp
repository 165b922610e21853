// Calling the parse dispatcher from the content kinds, with its answer for primitives and content classes taken
// directly while the bindings involved are the library's own.
#pragma once

#include "module_api.hpp"
#include "runtime.hpp"

namespace quorvel::parse_call {

// The dispatcher as the module bound it at import, to recognise the binding
// while it is still the dispatcher itself.
inline PyObject* dispatcher = nullptr;

inline bool remember_dispatcher(PyObject* module) {
  Py_XSETREF(dispatcher, PyObject_GetAttrString(module, "from_defaults"));
  return dispatcher != nullptr;
}

inline bool is_primitive_class(PyObject* alias) {
  return alias == reinterpret_cast<PyObject*>(&PyUnicode_Type) || alias == reinterpret_cast<PyObject*>(&PyLong_Type) ||
         alias == reinterpret_cast<PyObject*>(&PyFloat_Type) || alias == reinterpret_cast<PyObject*>(&PyBool_Type);
}

// How the dispatcher would handle an annotation, found once when a plan is
// made: a content kind's parse (the first values, one per kind), a primitive
// passed through, or anything else, which goes to the dispatcher itself.
// A kind's route is taken only while the class still inherits that kind's
// own `from_defaults`, checked at each call.
enum class Route : unsigned char { kRecord, kList, kOptional, kUnion, kEnum, kPrimitive, kDispatch };

inline module_api::KindId kind_of(Route route) { return static_cast<module_api::KindId>(route); }

inline Route route_of(PyObject* alias) {
  if (is_primitive_class(alias)) return Route::kPrimitive;
  for (int index = 0; index < module_api::kKindCount; ++index) {
    auto route = static_cast<Route>(index);
    const module_api::Kind* kind = module_api::kind_api(kind_of(route));
    if (kind != nullptr && module_api::inherits_parse(*kind, alias)) return route;
  }
  return Route::kDispatch;
}

// Whether the dict key `key` is the text `name` as a lookup by name matches
// it: the name itself, or text equal to it. False for keys of other types,
// which only a lookup can tell (they may compare equal to the name).
inline bool key_is(PyObject* key, PyObject* name) {
  return key == name || (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0);
}

// The state of a class and of its metaclass. While neither changed, nothing
// found through them did: their attributes along both MROs (and so what the
// class inherits and which slots it has). The interpreter never gives a
// version tag twice, so a class found in a recorded state is also the very
// class that state was recorded for.
class ClassStates {
 public:
  // False when the class has no version tag to record; `unchanged` then
  // answers false.
  bool record(PyObject* cls) {
    bool recorded = class_state_.record(cls);
    return metaclass_state_.record(reinterpret_cast<PyObject*>(Py_TYPE(cls))) && recorded;
  }
  bool unchanged(PyObject* cls) const {
    return class_state_.unchanged(cls) && metaclass_state_.unchanged(reinterpret_cast<PyObject*>(Py_TYPE(cls)));
  }

 private:
  rt::TypeState class_state_;
  rt::TypeState metaclass_state_;
};

// The class a proof was last made for, kept with its state: while the class
// stays in that state the proof stands, and it is not made again for each
// of the items of one class a list holds.
class Proven {
 public:
  // Whether `prove()` holds for `cls`, asked only when `cls` is not the
  // class last proven in its recorded state.
  template <typename Prove>
  bool holds(PyObject* cls, Prove prove) {
    if (cls == cls_ && PyType_Check(cls) && states_.unchanged(cls)) return true;
    if (!prove()) return false;
    cls_ = states_.record(cls) ? cls : nullptr;
    return true;
  }

 private:
  PyObject* cls_ = nullptr;  // compared, never used: the class may be gone
  ClassStates states_;
};

// Per kind, the class last found keeping the kind's own `from_defaults`.
inline Proven own_parse_proofs[module_api::kKindCount];

// What the dispatcher does for a class that keeps the `from_defaults` of the
// kind `route` names: that kind's parse, guarded as the dispatcher guards it.
// Nothing (nullptr, no error) when `alias` is not such a class.
inline Ref own_kind(Route route, PyObject* data, PyObject* alias, bool& taken) {
  const module_api::Kind* kind = module_api::kind_api(kind_of(route));
  const module_api::Parse* parser = kind ? module_api::parse_api() : nullptr;
  taken = parser != nullptr && own_parse_proofs[static_cast<int>(route)].holds(alias, [&] {
    return module_api::inherits_parse(*kind, alias);
  });
  return taken ? Ref::steal(parser->guard(kind->parse(alias, data, alias), alias, data)) : nullptr;
}

// Whether the dispatcher, bound as `parse`, answers with `data` itself: a
// primitive class takes any data but a dict unconverted.
inline bool passes_through(PyObject* parse, Route route, PyObject* data) {
  return parse == dispatcher && route == Route::kPrimitive && !PyDict_Check(data);
}

// from_defaults(data=data, alias=alias) through `parse`, the caller's binding
// as looked up now, for an annotation whose route was found before. While
// that binding is the dispatcher, a primitive class is answered as the
// dispatcher answers it (the data itself, unconverted; dict data still goes
// to the dispatcher for its error) and a content class is parsed by its
// kind directly.
inline Ref from_defaults_routed(PyObject* parse, Route route, PyObject* data, PyObject* alias) {
  if (passes_through(parse, route, data)) return Ref::borrow(data);
  if (parse == dispatcher) {
    if (route < Route::kPrimitive) {
      bool taken = false;
      Ref parsed = own_kind(route, data, alias, taken);
      if (taken) return parsed;
    }
  }
  PyObject* args[] = {data, alias};
  return Ref::steal(PyObject_Vectorcall(parse, args, 0, kDataAliasKeywords));
}

// The route of an annotation met only now, told on the spot: a primitive, or
// else possibly a record class.
inline Route quick_route(PyObject* alias) { return is_primitive_class(alias) ? Route::kPrimitive : Route::kRecord; }

inline Ref from_defaults(PyObject* parse, PyObject* data, PyObject* alias) {
  return from_defaults_routed(parse, quick_route(alias), data, alias);
}

}  // namespace quorvel::parse_call
