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

// What the dispatcher does for a class that keeps the `from_defaults` of the
// kind `route` names: that kind's parse, guarded as the dispatcher guards it.
// Nothing (nullptr, no error) when `alias` is not such a class.
inline Ref own_kind(Route route, PyObject* data, PyObject* alias, bool& taken) {
  const module_api::Kind* kind = module_api::kind_api(kind_of(route));
  const module_api::Parse* parser = kind ? module_api::parse_api() : nullptr;
  taken = parser != nullptr && module_api::inherits_parse(*kind, alias);
  return taken ? Ref::steal(parser->guard(kind->parse(alias, data, alias), alias, data)) : nullptr;
}

// from_defaults(data=data, alias=alias) through `parse`, the caller's binding
// as looked up now, for an annotation whose route was found before. While
// that binding is the dispatcher, a primitive class is answered as the
// dispatcher answers it (the data itself, unconverted; dict data still goes
// to the dispatcher for its error) and a content class is parsed by its
// kind directly.
inline Ref from_defaults_routed(PyObject* parse, Route route, PyObject* data, PyObject* alias) {
  if (parse == dispatcher) {
    if (route == Route::kPrimitive && !PyDict_Check(data)) return Ref::borrow(data);
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
