// List content: a homogeneous list of configurable items that is itself a Python list.
#include <cstddef>
#include <utility>
#include <vector>

#include "content_glue.hpp"
#include "content_plans.hpp"
#include "generic_content.hpp"

namespace quorvel {
namespace {

using namespace generic_content;

rt::Name kBuildDefaultsMethod("build_defaults");
rt::Name kKeys("keys");

rt::Global kConfigList("ConfigList");
rt::Global kFieldList("FieldList");

// resolve_generic_arg(alias, of=..., default=...): the index stays at its default.
rt::Keywords of_default_keywords({"of", "default"});

// The UI defaults of `value` when it is a ConfigList, else no items.
Ref current_defaults(PyObject* value) {
  int own = is_instance_of(value, kConfigList);
  if (own < 0) return nullptr;
  return Ref::steal(own ? PyObject_CallMethodNoArgs(value, kBuildDefaultsMethod) : PyList_New(0));
}

// The item field, and the current items' UI defaults as the field's default.
Children item_children(PyObject* cls, PyObject* value, PyObject* metadata, PyObject* inner_type) {
  Ref raw_inner = pop_child_metadata(cls, metadata, kContent);
  Ref inner_metadata = raw_inner ? copy_dict(raw_inner) : nullptr;
  // The items carry their own values, so a default for the item field is dropped.
  if (!inner_metadata || PyDict_Pop(inner_metadata, kDefault, nullptr) < 0 || !default_display_name(inner_metadata)) {
    return {};
  }
  Ref fields = inner_fields(inner_type, inner_metadata);
  Ref defaults = fields ? current_defaults(value) : nullptr;
  return {std::move(fields), std::move(defaults)};
}

PyObject* build_field_for_type(rt::Function*, PyObject* const* args) {
  return build_inner_field(args, kFieldList, [args](PyObject* metadata, PyObject* inner_type) {
    return item_children(args[0], args[1], metadata, inner_type);
  });
}

// Values gathered where no Python code can reach them (converting or
// parsing an item may run code), then made into a list once, at its final size.
class Gathered {
 public:
  explicit Gathered(Py_ssize_t expected) { values_.reserve(static_cast<std::size_t>(expected)); }
  void add(Ref value) { values_.push_back(std::move(value)); }
  // A new list of the values, handed over.
  Ref as_list() {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values_.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values_.size(); ++i) PyList_SET_ITEM(list.get(), i, values_[i].release());
    return list;
  }

 private:
  std::vector<Ref> values_;
};

// Adds {"content": build_defaults(item)} to `rows`.
bool add_row(Gathered& rows, PyObject* item, const module_api::InnerDefaults& convert) {
  Ref defaults = convert(item);
  Ref row = defaults ? Ref::steal(PyDict_New()) : nullptr;
  if (!row || PyDict_SetItem(row, kContent, defaults) < 0) return false;
  rows.add(std::move(row));
  return true;
}

// [{"content": build_defaults(item)} for item in self], within `run`. A list
// whose class keeps the list's own iteration is read by index, as its
// iterator would read it: up to its length at each step, since converting
// an item may run code that changes the list.
PyObject* list_defaults(PyObject* self, module_api::DefaultsRun* run) {
  rt::RecursionGuard guard(" while building defaults");
  if (!guard) return nullptr;
  module_api::InnerDefaults convert(kBuildDefaults, run);
  if (!convert) return nullptr;
  if (PyList_Check(self) && Py_TYPE(self)->tp_iter == PyList_Type.tp_iter) {
    Gathered rows(PyList_GET_SIZE(self));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self); ++i) {
      if (!add_row(rows, Ref::borrow(PyList_GET_ITEM(self, i)), convert)) return nullptr;
    }
    return rows.as_list().release();
  }
  Ref items = Ref::steal(PyObject_GetIter(self));
  if (!items) return nullptr;
  Gathered rows(0);
  while (Ref item = Ref::steal(PyIter_Next(items))) {
    if (!add_row(rows, item, convert)) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : rows.as_list().release();
}

PyObject* build_defaults(rt::Function*, PyObject* const* args) { return list_defaults(args[0], nullptr); }

// A row is a dict whose keys are exactly {"content"}.
int is_row(PyObject* element) {
  if (PyDict_CheckExact(element)) return PyDict_GET_SIZE(element) == 1 ? PyDict_Contains(element, kContent) : 0;
  int mapping = PyObject_IsInstance(element, reinterpret_cast<PyObject*>(&PyDict_Type));
  if (mapping <= 0) return mapping;
  Ref keys = Ref::steal(PyObject_CallMethodNoArgs(element, kKeys));
  Ref key_set = keys ? Ref::steal(PySet_New(keys)) : nullptr;
  if (!key_set) return -1;
  return PySet_GET_SIZE(key_set.get()) == 1 ? PySet_Contains(key_set, kContent) : 0;
}

// The item data of one element: a row's "content", or the bare element. The
// usual row, an exact dict of one entry, is read in one step: its one key is
// "content" or, when it is text, tells that it is not; a key of another type
// is left to a lookup, as it may compare equal to "content".
Ref item_data(PyObject* element, bool& row) {
  if (PyDict_CheckExact(element) && PyDict_GET_SIZE(element) == 1) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* content = nullptr;
    PyDict_Next(element, &position, &key, &content);
    if (key == kContent || PyUnicode_CheckExact(key)) {
      row = parse_call::key_is(key, kContent);
      return Ref::borrow(row ? content : element);
    }
    if (PyDict_GetItemRef(element, kContent, &content) < 0) return nullptr;
    row = content != nullptr;
    return row ? Ref::steal(content) : Ref::borrow(element);
  }
  int verdict = is_row(element);
  if (verdict < 0) return nullptr;
  row = verdict;
  return row ? Ref::steal(PyObject_GetItem(element, kContent)) : Ref::borrow(element);
}

// Locates the pending error at the item: inside its row, or the bare element.
[[gnu::cold, gnu::noinline]] std::nullptr_t item_failed(Py_ssize_t index, bool row) {
  Ref position = Ref::steal(PyLong_FromSsize_t(index));
  if (!position) return nullptr;
  return row ? rt::locate(kQuorvelError, {position.get(), kContent}) : rt::locate(kQuorvelError, {position.get()});
}

// The elements to parse: none for None, else exactly a list.
Ref list_data(PyObject* cls, PyObject* data) {
  if (PyList_CheckExact(data)) return Ref::borrow(data);
  if (data == Py_None) return Ref::steal(PyList_New(0));
  int is_list = PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyList_Type));
  if (is_list <= 0) return is_list < 0 ? nullptr : raise_wrong_data(cls, "list", data);
  return checked(rt::Returns::kList, Ref::borrow(data));
}

// `cls.__origin__ or cls`
Ref own_origin(PyObject* cls) {
  Ref origin = Ref::steal(PyObject_GetAttr(cls, kDunderOrigin));
  int truthy = origin ? PyObject_IsTrue(origin) : -1;
  if (truthy < 0) return nullptr;
  return truthy ? origin : Ref::borrow(cls);
}

// The item type: resolve_generic_arg(alias, of=cls.__origin__ or cls, default=None).
Ref item_alias(PyObject* cls, PyObject* alias) {
  Ref origin = own_origin(cls);
  return origin ? resolve_generic_arg(alias, of_default_keywords, origin.get(), Py_None) : nullptr;
}

// Item types of parametrised list classes.
content_plans::InnerPlans plans;

// GenericWithArgs.__init__, as a call of a list class runs it.
content_plans::StockCreation stock;
PyObject* generic_with_args = nullptr;  // the class that defines that `__init__`

// What GenericWithArgs.__init__ needs of a list class to do no more than
// list.__init__ does for a new instance: list itself comes next along the
// MRO, so that super() hands it the items, and the class holds a tuple of
// type arguments that the instance's generic attribute lookup finds, so that
// the check for an unparametrised class passes.
bool initialises_as_list(PyTypeObject* cls) {
  PyObject* mro = cls->tp_mro;
  Py_ssize_t count = mro ? PyTuple_GET_SIZE(mro) : 0;
  Py_ssize_t index = 0;
  while (index < count && PyTuple_GET_ITEM(mro, index) != generic_with_args) ++index;
  if (index + 1 >= count || PyTuple_GET_ITEM(mro, index + 1) != reinterpret_cast<PyObject*>(&PyList_Type)) return false;
  Ref type_args = rt::mro_lookup(cls, kDunderTypeArgs);
  return cls->tp_getattro == PyObject_GenericGetAttr && type_args && PyTuple_CheckExact(type_args.get());
}

// cls(items). While the class makes its instances the stock way, the new
// list is made here and given the items as list.__init__ gives them.
Ref make_list(PyObject* cls, content_plans::InnerPlan& plan, PyObject* items) {
  if (!plan.creation.holds(cls, stock, initialises_as_list)) return Ref::steal(PyObject_CallOneArg(cls, items));
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref made = Ref::steal(type->tp_alloc(type, 0));
  return made && PyList_SetSlice(made, 0, 0, items) == 0 ? made : nullptr;
}

PyObject* parse_list(PyObject* cls, PyObject* data, PyObject* given_alias) {
  rt::RecursionGuard guard(" while parsing");
  if (!guard) return nullptr;
  Ref elements = list_data(cls, data);
  if (!elements) return nullptr;
  PyObject* alias = given_alias == Py_None ? cls : given_alias;
  auto plan = content_plans::inner_plan(plans, cls, alias, [&] { return item_alias(cls, alias); });
  if (!plan) return nullptr;
  if (plan->inner.get() == Py_None) return raise_not_parametrised(cls);
  Ref parse = kFromDefaults.get();
  if (!parse) return nullptr;
  Gathered items(PyList_GET_SIZE(elements.get()));
  // The size is read anew for each item: parsing one may change the data.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
    bool row = false;
    Ref raw = item_data(Ref::borrow(PyList_GET_ITEM(elements.get(), i)), row);
    Ref item = raw ? parse_call::from_defaults_routed(parse, plan->route, raw, plan->inner) : nullptr;
    if (!item) return raw ? item_failed(i, row) : nullptr;
    items.add(std::move(item));
  }
  Ref parsed = items.as_list();
  return parsed ? make_list(cls, *plan.plan, parsed).release() : nullptr;
}

PyObject* from_defaults(rt::Function*, PyObject* const* args) { return parse_list(args[0], args[1], args[2]); }

// Other modules parse list classes that keep this `from_defaults` directly;
// the classmethod is filled in once ConfigList exists.
module_api::Kind api = {nullptr, parse_list};

// --- declarations ------------------------------------------------------------

constexpr auto kBuildFieldForTypeParams = content_fields::field_for_type_params("Type[ConfigList[T]]", "ConfigList[T] | None");
constexpr auto kFromDefaultsParams = content_fields::from_defaults_params("dict[str, Any] | Any | None");

const rt::FunctionSpec kContainedTypeSpec = contained_type_spec(
    "Simple utility function that checks the contained type and returns it.\n\n"
    "        Given ConfigList[A] this returns A and checks before that A is of type ConfigType.\n"
    "        ");
const rt::FunctionSpec kBuildFieldForTypeSpec = {"build_field_for_type", content_fields::kFieldForTypeDoc, build_field_for_type,
                                                 kBuildFieldForTypeParams, "FieldList | BaseField"};
const rt::FunctionSpec kBuildDefaultsSpec = {"build_defaults", "Emit list items as row objects under 'content'.",
                                             build_defaults, kSelfParams, "list[Any]"};
const rt::FunctionSpec kFromDefaultsSpec = {"from_defaults", kFromDefaultsDoc, from_defaults, kFromDefaultsParams,
                                            "ConfigList[T]"};

constexpr const char* kConfigListDoc =
    "List content of repeated items (e.g., dataclasses or other wrappers).\n\n"
    "    Example allowed:\n"
    "        - ConfigList[int]\n"
    "        - ConfigList[ConfigUnion[int | CF]] where CF is of type ConfigData\n\n"
    "    Example disallowed:\n"
    "         - ConfigList[int | str]\n"
    "         - ConfigList[list[int]]\n"
    "         - ConfigList\n"
    "         - ConfigList[A] where A is neither of type BaseConfigurableData nor a PrimitiveType\n"
    "         - ConfigList (without parameters). This cannot be checked at annotation time, but at instantiation.\n"
    "    ";

// class ConfigList(GenericWithArgs, list[T], BaseConfigurableData)
PyObject* config_list(PyObject* module) {
  Ref type_var = Ref::steal(PyObject_GetAttrString(module, "T"));
  Ref list_of = type_var ? Ref::steal(Py_GenericAlias(reinterpret_cast<PyObject*>(&PyList_Type), type_var)) : nullptr;
  Ref bases = generic_bases(list_of);
  if (!bases) return nullptr;
  return rt::ClassBuilder(module, "ConfigList", kConfigListDoc)
      .class_method(kContainedTypeSpec)
      .class_method(kBuildFieldForTypeSpec)
      .method(kBuildDefaultsSpec)
      .class_method(kFromDefaultsSpec)
      .class_method(kCheckedClassGetitem)
      .create_from_bases(bases)
      .release();
}

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {
      {"typing", "TypeVar"},
      {"typing", "get_origin"},
      {"typing", "Any"},
      {"typing", "Type"},
      {"nimbrel.quorvel.data.content_core", "ConfigValue"},
      {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
      {"nimbrel.quorvel.data.content_core", "WrapperAlias"},
      {"nimbrel.quorvel.data.content_core", "ConfigType"},
      {"nimbrel.quorvel.data.content_core", "require_valid_config_type"},
      {"nimbrel.quorvel.data.content_core", "build_defaults"},
      {"nimbrel.quorvel.data.parse", "from_defaults"},
      {"nimbrel.quorvel.data.serialize", "instantiate_field"},
      {"nimbrel.quorvel.data.serialize", "build_field"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelMetadataError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelParseError"},
      {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
      {"nimbrel.quorvel.core.naming", "display_class_name"},
      {"nimbrel.quorvel.fields.field_models", "BaseField"},
      {"nimbrel.quorvel.fields.field_models", "FieldList"},
      {"nimbrel.quorvel.typing.generic_params", "GenericWithArgs"},
      {"nimbrel.quorvel.typing.type_lookup", "resolve_generic_arg"},
      {"nimbrel.quorvel.typing.type_lookup", "type_key_class"},
      })) {
    return false;
  }
  if (!init_keywords(module) || !add_type_var(module, "T") || !plans.init()) return false;
  Ref list_class = Ref::steal(config_list(module));
  Py_XSETREF(generic_with_args, PyObject_GetAttrString(module, "GenericWithArgs"));
  return stock.remember(generic_with_args) &&
         module_api::add_kind_class(module, "ConfigList", std::move(list_class), api, list_defaults,
                                    module_api::KindId::kList);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(list_content, "List content: repeated configurable items as a Python list.", quorvel::exec_module)
