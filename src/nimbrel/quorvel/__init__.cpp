// The package itself: the public names in one import, each loaded from its own module on first use.
#include "runtime.hpp"

namespace quorvel {
namespace {

// A public name and the module that defines it. Importing the package imports
// none of these modules: `import nimbrel.quorvel` stays as cheap as an empty
// package, and pydantic is only loaded once a name that needs it is used.
struct Export {
  const char* name;
  const char* module;
};

constexpr const char* kExceptions = "nimbrel.quorvel.core.exceptions";
constexpr const char* kFieldModels = "nimbrel.quorvel.fields.field_models";
constexpr const char* kCheck = "nimbrel.quorvel.data.check";

constexpr Export kExports[] = {
    {"ConfigData", "nimbrel.quorvel.data.record_content"},
    {"ConfigList", "nimbrel.quorvel.data.list_content"},
    {"ConfigOptional", "nimbrel.quorvel.data.optional_content"},
    {"ConfigUnion", "nimbrel.quorvel.data.union_content"},
    {"ConfigEnum", "nimbrel.quorvel.data.enum_content"},
    {"ConfigUntypedDict", "nimbrel.quorvel.data.json_content"},
    {"check", kCheck},
    {"Problem", kCheck},
    {"json_schema", "nimbrel.quorvel.data.schema"},
    {"QuorvelError", kExceptions},
    {"QuorvelParseError", kExceptions},
    {"QuorvelTypeResolutionError", kExceptions},
    {"QuorvelUserError", kExceptions},
    {"QuorvelMetadataError", kExceptions},
    {"QuorvelValidationError", kExceptions},
    {"QuorvelImplementationError", kExceptions},
    {"QuorvelSchemaError", kExceptions},
    {"BaseField", kFieldModels},
    {"FieldString", kFieldModels},
    {"FieldPassword", kFieldModels},
    {"FieldTextArea", kFieldModels},
    {"FieldInteger", kFieldModels},
    {"FieldFloat", kFieldModels},
    {"FieldBool", kFieldModels},
    {"FieldJsonText", kFieldModels},
    {"FieldEnum", kFieldModels},
    {"FieldData", kFieldModels},
    {"FieldList", kFieldModels},
    {"FieldUnion", kFieldModels},
    {"FieldOptional", kFieldModels},
};

rt::Global kAll("__all__");
rt::Name kUpdate("update");

// The package's namespace. A loaded name is stored there, so that every later
// lookup finds it directly and never reaches `__getattr__` again. Set each
// time the package module executes.
PyObject* package_namespace = nullptr;

const Export* find_export(PyObject* name) {
  for (const Export& exported : kExports) {
    if (PyUnicode_EqualToUTF8(name, exported.name)) return &exported;
  }
  return nullptr;
}

// The interpreter's own texts for a module attribute that does not exist.
PyObject* no_such_attribute(PyObject* name) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(package_namespace, kDunderName, &found) < 0) return nullptr;
  Ref module_name = Ref::steal(found);
  if (module_name && PyUnicode_Check(module_name)) {
    PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", module_name.get(), name);
  } else {
    PyErr_Format(PyExc_AttributeError, "module has no attribute '%U'", name);
  }
  return nullptr;
}

PyObject* module_getattr(rt::Function*, PyObject* const* args) {
  PyObject* name = args[0];
  const Export* exported = find_export(name);
  if (exported == nullptr) return no_such_attribute(name);
  Ref value = rt::import_from(exported->module, exported->name);
  if (!value || PyDict_SetItem(package_namespace, name, value) < 0) return nullptr;
  return value.release();
}

// The names of the namespace and those of `__all__`, loaded or not, sorted.
PyObject* module_dir(rt::Function*, PyObject* const*) {
  Ref names = Ref::steal(PySet_New(package_namespace));
  Ref public_list = names ? kAll.get() : nullptr;
  Ref updated = public_list ? Ref::steal(PyObject_CallMethodOneArg(names, kUpdate, public_list)) : nullptr;
  if (!updated) return nullptr;
  Ref sorted = Ref::steal(PySequence_List(names));
  if (!sorted || PyList_Sort(sorted) < 0) return nullptr;
  return sorted.release();
}

Ref public_names() {
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  for (const Export& exported : kExports) {
    Ref name = Ref::steal(PyUnicode_InternFromString(exported.name));
    if (!name || PyList_Append(names, name) < 0) return nullptr;
  }
  return names;
}

constexpr rt::Param kGetattrParams[] = {{"name", "str"}};
const rt::FunctionSpec kGetattrSpec = {"__getattr__", "Load a public name from the module that defines it.",
                                       module_getattr, kGetattrParams, "Any"};
const rt::FunctionSpec kDirSpec = {"__dir__", "The names of the package, including those not loaded yet.",
                                   module_dir, {}, "list[str]"};

bool exec_module(PyObject* module) {
  Py_XSETREF(package_namespace, Py_NewRef(PyModule_GetDict(module)));
  return rt::add_object(module, "__all__", public_names().release()) && rt::add_function(module, kGetattrSpec) &&
         rt::add_function(module, kDirSpec);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(quorvel,
               "Typed configuration for Python applications: UI forms, UI defaults, disk and root representations.\n\n"
               "The content kinds, `check`, `json_schema`, the error classes and the field kinds can all be\n"
               "imported from here; each is loaded from the module that defines it when it is first used.",
               quorvel::exec_module)
