// Calling the parse dispatcher from the content kinds, with its answer for primitives and records taken directly.
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

// What the dispatcher does for a record class that keeps record content's own
// `from_defaults`: that parse, guarded as the dispatcher guards it. Nothing
// (nullptr, no error) when `alias` is not such a class.
inline Ref own_record(PyObject* data, PyObject* alias, bool& taken) {
  const module_api::Records* records = module_api::records_api();
  const module_api::Parse* parser = records ? module_api::parse_api() : nullptr;
  taken = parser != nullptr && module_api::is_own_record(*records, alias);
  return taken ? Ref::steal(parser->guard(records->parse(alias, data), alias, data)) : nullptr;
}

// from_defaults(data=data, alias=alias) through `parse`, the caller's binding
// as looked up now. While that is the dispatcher, a primitive class is
// answered as the dispatcher answers it (the data itself, unconverted), and
// a record class is parsed by record content directly; dict data for a
// primitive still goes to the dispatcher for its error.
inline Ref from_defaults(PyObject* parse, PyObject* data, PyObject* alias) {
  if (parse == dispatcher) {
    if (is_primitive_class(alias) && !PyDict_Check(data)) return Ref::borrow(data);
    bool taken = false;
    Ref parsed = own_record(data, alias, taken);
    if (taken) return parsed;
  }
  PyObject* args[] = {data, alias};
  return Ref::steal(PyObject_Vectorcall(parse, args, 0, kDataAliasKeywords));
}

}  // namespace quorvel::parse_call
