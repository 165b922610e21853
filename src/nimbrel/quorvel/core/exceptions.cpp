// The error classes every failure of the library is reported with.
#include "runtime.hpp"

namespace quorvel {
namespace {

struct ErrorClass {
  const char* name;
  const char* doc;
};

constexpr ErrorClass kBaseError = {
    "QuorvelError",
    "Input of the wrong shape or a value that cannot be used, when no finer class applies.\n\n"
    "An error raised while parsing data carries `location`, the path from the data given to\n"
    "the outermost parse call to the value that failed (dict keys as they appear in the data,\n"
    "list and tuple positions as int), and `pointer`, the same path as a JSON Pointer."};

// Each derives from QuorvelError, in the order they are bound.
constexpr ErrorClass kErrors[] = {
    {"QuorvelParseError", "Data of the wrong shape for a content kind, or a foreign error raised while parsing."},
    {"QuorvelTypeResolutionError", "An annotation or type argument that cannot be resolved."},
    {"QuorvelUserError", "A lookup by name that finds nothing, or union data that is not a dictionary."},
    {"QuorvelMetadataError", "Field metadata that contradicts itself or the type."},
    {"QuorvelValidationError", "Data of the right shape that breaks a rule of its content kind."},
    {"QuorvelImplementationError", "Missing or ambiguous implementations, or a bad use of type keys."},
    {"QuorvelSchemaError", "A field annotation whose origin is not a class."},
};

PyObject* location(rt::Function*, PyObject* const* args) { return rt::error_location(args[0]).release(); }

PyObject* set_location(rt::Function*, PyObject* const* args) {
  if (!rt::set_error_location(args[0], args[1])) return nullptr;
  Py_RETURN_NONE;
}

PyObject* pointer(rt::Function*, PyObject* const* args) {
  Ref location = Ref::steal(PyObject_GetAttr(args[0], kLocation));
  Ref steps = location ? Ref::steal(PySequence_Tuple(location)) : nullptr;
  return steps ? rt::json_pointer(steps).release() : nullptr;
}

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kSelfValue[] = {{"self"}, {"value", "tuple[str | int, ...]"}};
const rt::FunctionSpec kLocationSpec = {
    "location",
    "Where parsing failed: the path from the data given to the outermost parse call to the value that failed.",
    location, kSelf, "tuple[str | int, ...]", false};
const rt::FunctionSpec kSetLocationSpec = {"location", nullptr, set_location, kSelfValue, "None"};
const rt::FunctionSpec kPointerSpec = {"pointer", "The location as an RFC 6901 JSON Pointer (\"\" for the root).",
                                       pointer, kSelf, "str"};

// property(getter[, setter]) of callables made for QuorvelError.
Ref property(PyObject* module_name, const rt::FunctionSpec& getter, const rt::FunctionSpec* setter = nullptr) {
  Ref owner = Ref::steal(PyUnicode_FromString(kBaseError.name));
  Ref get = owner ? Ref::steal(rt::make_function(getter, module_name, owner)) : nullptr;
  Ref set = get && setter ? Ref::steal(rt::make_function(*setter, module_name, owner)) : Ref::borrow(Py_None);
  if (!set) return nullptr;
  return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), get.get(), set.get(),
                                                 nullptr));
}

// The namespace of QuorvelError: `location` (which starts at the root, where
// an error raised by hand stays) and `pointer`.
Ref base_namespace(PyObject* module_name) {
  Ref location_property = property(module_name, kLocationSpec, &kSetLocationSpec);
  Ref pointer_property = location_property ? property(module_name, kPointerSpec) : nullptr;
  Ref ns = pointer_property ? Ref::steal(PyDict_New()) : nullptr;
  if (!ns || PyDict_SetItem(ns, kLocation, location_property) < 0 ||
      PyDict_SetItemString(ns, "pointer", pointer_property) < 0) {
    return nullptr;
  }
  return ns;
}

PyObject* new_error(PyObject* module_name, const ErrorClass& error, PyObject* base, PyObject* ns = nullptr) {
  Ref qualified = Ref::steal(PyUnicode_FromFormat("%U.%s", module_name, error.name));
  if (!qualified) return nullptr;
  return PyErr_NewExceptionWithDoc(PyUnicode_AsUTF8(qualified), error.doc, base, ns);
}

bool exec_module(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref ns = module_name ? base_namespace(module_name) : nullptr;
  Ref base = ns ? Ref::steal(new_error(module_name, kBaseError, PyExc_Exception, ns)) : nullptr;
  if (!base || !rt::add_object(module, kBaseError.name, Py_NewRef(base.get()))) return false;
  for (const ErrorClass& error : kErrors) {
    if (!rt::add_object(module, error.name, new_error(module_name, error, base))) return false;
  }
  return true;
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(exceptions, "Error classes of the quorvel library; each is raised with one message text.",
               quorvel::exec_module)
