// The value vocabulary: the content base class and the primitive value types.
#include "runtime.hpp"

namespace quorvel {
namespace {

constexpr const char* kBaseContentDoc =
    "Base class of all configurable content.\n\n"
    "Its metaclass is ABCMeta, so content classes can declare abstract methods and\n"
    "register virtual subclasses, and add dict, list or generic bases of their own.";

Ref primitive_tuple() {
  return Ref::steal(PyTuple_Pack(4, reinterpret_cast<PyObject*>(&PyBool_Type), reinterpret_cast<PyObject*>(&PyLong_Type),
                                 reinterpret_cast<PyObject*>(&PyFloat_Type), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
}

// bool | int | float | str, folded with `|` as a union expression would be.
Ref union_of(PyObject* members) {
  Ref result = Ref::borrow(PyTuple_GET_ITEM(members, 0));
  for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(members) && result; ++i) {
    result = Ref::steal(PyNumber_Or(result, PyTuple_GET_ITEM(members, i)));
  }
  return result;
}

Ref base_content(PyObject* module) {
  Ref abc_meta = rt::import_from("abc", "ABCMeta");
  if (!abc_meta) return nullptr;
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!bases) return nullptr;
  return rt::ClassBuilder(module, "BaseContent", kBaseContentDoc).create(abc_meta, bases);
}

bool exec_module(PyObject* module) {
  Ref primitives = primitive_tuple();
  if (!primitives) return false;
  Ref primitive_types = union_of(primitives);
  if (!primitive_types) return false;
  Ref type_of = Ref::steal(PyObject_GetItem(reinterpret_cast<PyObject*>(&PyType_Type), primitive_types));
  return rt::add_object(module, "BaseContent", base_content(module).release()) &&
         rt::add_object(module, "PrimitiveTypes", primitive_types.release()) &&
         rt::add_object(module, "PrimitiveClass", type_of.release()) &&
         rt::add_object(module, "PrimitiveArgs", primitives.release());
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(base, "The value vocabulary of configurable content: BaseContent and the primitive types.",
               quorvel::exec_module)
