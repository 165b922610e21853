// The error classes every failure of the library is reported with.
#include "runtime.hpp"

namespace quorvel {
namespace {

struct ErrorClass {
  const char* name;
  const char* doc;
};

constexpr ErrorClass kBaseError = {
    "QuorvelError", "Input of the wrong shape or a value that cannot be used, when no finer class applies."};

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

PyObject* new_error(PyObject* module, const ErrorClass& error, PyObject* base) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  Ref qualified = Ref::steal(PyUnicode_FromFormat("%U.%s", module_name.get(), error.name));
  if (!qualified) return nullptr;
  return PyErr_NewExceptionWithDoc(PyUnicode_AsUTF8(qualified), error.doc, base, nullptr);
}

bool exec_module(PyObject* module) {
  Ref base = Ref::steal(new_error(module, kBaseError, PyExc_Exception));
  if (!base || !rt::add_object(module, kBaseError.name, Py_NewRef(base.get()))) return false;
  for (const ErrorClass& error : kErrors) {
    if (!rt::add_object(module, error.name, new_error(module, error, base))) return false;
  }
  return true;
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(exceptions, "Error classes of the quorvel library; each is raised with one message text.",
               quorvel::exec_module)
