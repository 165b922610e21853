// The JSON Schema of configuration data: the UI defaults of a content class or alias, as parsing reads them.
//
// Where parsing is lenient the schema is strict: it describes what `build_defaults` writes, and data it
// accepts parses into a value in which `check` finds nothing wrong. Record classes are described once, under
// `$defs` by their type key, and referred to wherever they are used, so a class may contain itself.
#include <initializer_list>
#include <utility>

#include "../annotation_kinds.hpp"
#include "../content_glue.hpp"
#include "../record_fields.hpp"
#include "runtime.hpp"

namespace quorvel {
namespace {

using namespace annotation_kinds;

constexpr const char* kDialect = "https://json-schema.org/draft/2020-12/schema";

rt::Name kName("name");
rt::Name kValue("value");
rt::Name kMetadata("metadata");
rt::Name kInit("init");
rt::Name kDefaultFactory("default_factory");
rt::Name kDisplayName("display_name");
rt::Name kSelection("selection");
rt::Name kCapitalize("capitalize");
rt::Name kDumps("dumps");
rt::Name kLoads("loads");
rt::Name kDunderDataclassFields("__dataclass_fields__");

// Keywords of the schema, and the names of its types.
rt::Name kSchemaKeyword("$schema");
rt::Name kRef("$ref");
rt::Name kDefs("$defs");
rt::Name kType("type");
rt::Name kTitle("title");
rt::Name kDescription("description");
rt::Name kProperties("properties");
rt::Name kRequired("required");
rt::Name kAdditionalProperties("additionalProperties");
rt::Name kPropertyNames("propertyNames");
rt::Name kMaxProperties("maxProperties");
rt::Name kPattern("pattern");
rt::Name kItems("items");
rt::Name kPrefixItems("prefixItems");
rt::Name kMinItems("minItems");
rt::Name kMaxItems("maxItems");
rt::Name kMinimum("minimum");
rt::Name kMaximum("maximum");
rt::Name kEnumKeyword("enum");
rt::Name kConst("const");
rt::Name kOneOf("oneOf");
rt::Name kAnyOf("anyOf");
rt::Name kAllOf("allOf");
rt::Name kNot("not");
rt::Name kObject("object");
rt::Name kArray("array");
rt::Name kInteger("integer");
rt::Name kNumber("number");
rt::Name kBoolean("boolean");
rt::Name kString("string");
rt::Name kNull("null");

// The decimal text of an int, as JSON writes the int keys of a dict and as
// parsing reads them back ("-0", "01" and "+1" stay text).
rt::Name kIntKeyPattern("^(0|-?[1-9][0-9]*)$");

rt::Global kMissing("MISSING");
rt::Global kJson("json");
rt::Global kAny("Any");
rt::Global kBuildDefaults("build_defaults");
rt::Global kBaseField("BaseField");
rt::Global kGetImplementation("get_implementation");
rt::Global kSchemaError("QuorvelSchemaError");

// The `$defs` entry of each record class with the record classes it refers
// to, as (token, definition, references), for classes whose descriptors are
// read the stock way and whose annotations all resolved. The token is the
// `__dataclass_fields__` it was read from: a class decorated again gets a
// new one, and is then described anew.
rt::ClassCache definition_cache;

// --- building schema objects -----------------------------------------------------

using Entry = std::pair<PyObject*, PyObject*>;

// A new dict of the entries, in order; nullptr (with the error set) when an
// entry could not be made.
Ref dict_of(std::initializer_list<Entry> entries) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const Entry& entry : entries) {
    if (entry.second == nullptr || PyDict_SetItem(dict, entry.first, entry.second) < 0) return nullptr;
  }
  return dict;
}

// A new list of the items; nullptr when one of them could not be made (its error is set).
template <typename... Items>
Ref list_of(Items... items) {
  if (((static_cast<PyObject*>(items) == nullptr) || ...)) return nullptr;
  Ref tuple = rt::tuple_of(static_cast<PyObject*>(items)...);
  return tuple ? Ref::steal(PySequence_List(tuple)) : nullptr;
}

Ref typed(PyObject* type_name) { return dict_of({{kType, type_name}}); }

Ref constant(PyObject* value) { return dict_of({{kConst, value}}); }

// An object with exactly the properties given, all of which must be there.
Ref closed_object(PyObject* properties) {
  Ref keys = properties ? Ref::steal(PyDict_Keys(properties)) : nullptr;
  if (!keys) return nullptr;
  return dict_of({{kType, kObject}, {kProperties, properties}, {kRequired, keys}, {kAdditionalProperties, Py_False}});
}

// A row of a list, as `build_defaults` writes each item: {"content": item}.
Ref row_of(PyObject* item) { return closed_object(dict_of({{kContent, item}})); }

// Whether data valid for `schema` may be an object: not when its type says
// otherwise, nor for the member values of an enumeration.
bool may_be_object(PyObject* schema) {
  PyObject* type_name = PyDict_GetItemWithError(schema, kType);
  if (type_name != nullptr) return type_name == kObject.get();
  return PyDict_GetItemWithError(schema, kEnumKeyword) == nullptr;
}

// `schema`, except for objects of the shape `shape`: where parsing takes
// data of that shape for something else (a row, an optional's wrapper).
Ref excluding(PyObject* schema, PyObject* shape) {
  if (!may_be_object(schema)) return PyErr_Occurred() ? nullptr : Ref::borrow(schema);
  return dict_of({{kAllOf, list_of(schema, dict_of({{kNot, shape}}).get()).get()}});
}

// The two shapes of an optional's data, switched off and switched on.
bool optional_shapes(PyObject* content, Ref& off, Ref& on) {
  Ref off_flag = constant(Py_False);
  off = off_flag ? closed_object(dict_of({{kDefault, off_flag}})) : nullptr;
  Ref on_flag = off ? constant(Py_True) : nullptr;
  on = on_flag ? closed_object(dict_of({{kDefault, on_flag}, {kContent, content}})) : nullptr;
  return static_cast<bool>(on);
}

// A copy of schema data: its dicts and lists are new, so a caller may change
// what it is given without changing what is kept.
Ref copy_json(PyObject* data) {
  rt::RecursionGuard guard(" while copying a JSON Schema");
  if (!guard) return nullptr;
  if (PyList_CheckExact(data)) {
    Ref copy = Ref::steal(PyList_New(PyList_GET_SIZE(data)));
    for (Py_ssize_t i = 0; copy && i < PyList_GET_SIZE(data); ++i) {
      Ref item = copy_json(PyList_GET_ITEM(data, i));
      if (!item) return nullptr;
      PyList_SET_ITEM(copy.get(), i, item.release());
    }
    return copy;
  }
  if (!PyDict_CheckExact(data)) return Ref::borrow(data);
  Ref copy = Ref::steal(PyDict_New());
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (copy && PyDict_Next(data, &position, &key, &value)) {
    Ref item = copy_json(value);
    if (!item || PyDict_SetItem(copy, key, item) < 0) return nullptr;
  }
  return copy;
}

// `value` as JSON data, the way it is written to and read back from a JSON
// file: tuples become lists, dict keys text.
Ref json_data(PyObject* value) {
  Ref json = kJson.get();
  Ref text = json ? Ref::steal(PyObject_CallMethodOneArg(json, kDumps, value)) : nullptr;
  return text ? Ref::steal(PyObject_CallMethodOneArg(json, kLoads, text)) : nullptr;
}

// type_key_class(cls), which must be text: it names the class in the data.
Ref type_key(PyObject* cls) {
  Ref key = rt::call_global(kTypeKeyClass, cls);
  if (!key || PyUnicode_Check(key.get())) return key;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(key.get())->tp_name);
  return nullptr;
}

// The values of the members of an enumeration, as JSON data; only the text
// ones when `text_only`.
Ref member_values(PyObject* cls, bool text_only) {
  Ref members = Ref::steal(PyObject_GetIter(cls));
  Ref values = members ? Ref::steal(PyList_New(0)) : nullptr;
  if (!values) return nullptr;
  while (Ref member = Ref::steal(PyIter_Next(members))) {
    Ref value = Ref::steal(PyObject_GetAttr(member, kValue));
    if (!value) return nullptr;
    if (text_only && !PyUnicode_Check(value.get())) continue;
    if (PyList_Append(values, value) < 0) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : json_data(values);
}

// --- annotations ------------------------------------------------------------------

// Writes the schemas of annotations, collecting the record classes they refer to.
class Writer {
 public:
  bool start() {
    references_ = Ref::steal(PyList_New(0));
    return static_cast<bool>(references_);
  }

  // The schema of the content class or alias the caller asked about.
  Ref root(PyObject* alias) { return class_schema(alias, nullptr); }

  // The `$defs` of every record class referred to, those they refer to included.
  Ref definitions() {
    Ref defs = Ref::steal(PyDict_New());
    if (!defs) return nullptr;
    // The list grows while it is walked: each definition adds the classes it refers to.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(references_.get()); ++i) {
      Ref cls = Ref::borrow(PyList_GET_ITEM(references_.get(), i));
      Ref key = type_key(cls);
      int known = key ? PyDict_Contains(defs, key) : -1;
      if (known < 0) return nullptr;
      if (known) continue;
      Ref definition = definition_of(cls);
      if (!definition || PyDict_SetItem(defs, key, definition) < 0) return nullptr;
    }
    return defs;
  }

  // The `$defs` entry of the record class `cls`, with the record classes
  // its fields refer to into `references`; `resolved` tells whether every
  // annotation resolved.
  Ref record_definition(PyObject* cls, Ref& references, bool& resolved) {
    Ref hints = record_fields::type_hints(cls, resolved);
    Ref descriptors = hints ? record_fields::descriptors_of(cls) : nullptr;
    Ref properties = descriptors ? Ref::steal(PyDict_New()) : nullptr;
    Ref required = properties ? Ref::steal(PyList_New(0)) : nullptr;
    if (!required) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(descriptors.get()); ++i) {
      if (!add_property(PyTuple_GET_ITEM(descriptors.get(), i), hints, properties, required)) return nullptr;
    }
    Ref title = rt::call_global(kDisplayClassName, cls);
    Ref definition = title ? dict_of({{kType, kObject}, {kTitle, title}, {kProperties, properties},
                                      {kAdditionalProperties, Py_False}})
                           : nullptr;
    if (!definition || (PyList_GET_SIZE(required.get()) > 0 && PyDict_SetItem(definition, kRequired, required) < 0)) {
      return nullptr;
    }
    references = Ref::steal(PyList_AsTuple(references_));
    return references ? definition : nullptr;
  }

 private:
  Ref schema_of(PyObject* tp, PyObject* metadata) {
    rt::RecursionGuard guard(" while writing a JSON Schema");
    if (!guard) return nullptr;
    if (PyUnicode_Check(tp)) return named_class_schema(tp, metadata);
    Ref origin = rt::typing_origin(kGetOrigin, tp);
    if (!origin) return nullptr;
    if (origin.get() != Py_None) return alias_schema(tp, origin, metadata);
    return PyType_Check(tp) ? class_schema(tp, metadata) : unsupported(kSchemaError, tp);
  }

  // An annotation left as text names a content class, which parsing finds
  // by its type key.
  Ref named_class_schema(PyObject* text, PyObject* metadata) {
    Ref key = rt::call_global(kTypeKeyClass, text);
    Ref lookup = key ? kGetImplementation.get() : nullptr;
    Ref base = lookup ? kBaseConfigurableData.get() : nullptr;
    Ref cls = base ? Ref::steal(PyObject_CallFunctionObjArgs(lookup, base.get(), key.get(), nullptr)) : nullptr;
    return cls ? schema_of(cls, metadata) : nullptr;
  }

  Ref class_schema(PyObject* cls, PyObject* metadata) {
    Kind kind = plain_class_kind(cls);
    Ref base;
    if (kind == Kind::kClass && !derived_kind(cls, kind, base)) return nullptr;
    switch (kind) {
      case Kind::kInt:
        return number_schema(kInteger, metadata);
      case Kind::kFloat:
        return number_schema(kNumber, metadata);
      case Kind::kBool:
        return typed(kBoolean);
      case Kind::kStr:
        return typed(kString);
      case Kind::kJson:
        return typed(kObject);
      case Kind::kRecord:
        return record_ref(cls);
      case Kind::kList:
      case Kind::kOptional:
      case Kind::kUnion:
        return content_kind_schema(cls, kind, metadata);
      default:
        return other_class_schema(cls);
    }
  }

  // ConfigList[T], ConfigOptional[T] and ConfigUnion[A | B], by their type argument.
  Ref content_kind_schema(PyObject* cls, Kind kind, PyObject* metadata) {
    Ref argument;
    if (!type_argument(cls, argument)) return nullptr;
    if (!argument) return not_parametrised(cls);
    if (kind == Kind::kList) return list_schema(argument, metadata, false);
    if (kind == Kind::kOptional) {
      Ref content = contained(argument, metadata);
      Ref off, on;
      return content && optional_shapes(content, off, on) ? dict_of({{kOneOf, list_of(off.get(), on.get()).get()}})
                                                           : nullptr;
    }
    std::vector<PyObject*> members;
    Ref args = union_argument_members(argument, members);
    return args ? union_schema(members, metadata) : nullptr;
  }

  // Enumerations by the values of their members; other content classes
  // describe their data themselves, so anything goes; nothing else parses.
  Ref other_class_schema(PyObject* cls) {
    int enumeration = is_subclass_of(cls, kEnum);
    if (enumeration != 0) return enumeration < 0 ? nullptr : dict_of({{kEnumKeyword, member_values(cls, false).get()}});
    int content = is_subclass_of(cls, kBaseConfigurableData);
    if (content != 0) return content < 0 ? nullptr : Ref::steal(PyDict_New());
    return unsupported(kQuorvelError, cls);
  }

  Ref number_schema(PyObject* type_name, PyObject* metadata) {
    Ref schema = typed(type_name);
    Ref min, max;
    if (!schema || !read_bound(metadata, kMin, min) || !read_bound(metadata, kMax, max)) return nullptr;
    if (min && PyDict_SetItem(schema, kMinimum, min) < 0) return nullptr;
    if (max && PyDict_SetItem(schema, kMaximum, max) < 0) return nullptr;
    return schema;
  }

  Ref record_ref(PyObject* cls) {
    Ref key = type_key(cls);
    Ref pointer = key ? Ref::steal(PyUnicode_FromFormat("#/$defs/%U", key.get())) : nullptr;
    if (!pointer || PyList_Append(references_, cls) < 0) return nullptr;
    return dict_of({{kRef, pointer}});
  }

  // What a list or an optional holds, with the metadata the form hands it.
  Ref contained(PyObject* tp, PyObject* metadata) {
    Ref inner;
    return child_metadata(metadata, kContent, inner) ? schema_of(tp, inner) : nullptr;
  }

  // An array of rows; `bare_items` also takes the items themselves, as a
  // plain list holds them (parsing reads both).
  Ref list_schema(PyObject* tp, PyObject* metadata, bool bare_items) {
    Ref item = contained(tp, metadata);
    Ref row = item ? row_of(item) : nullptr;
    if (!row) return nullptr;
    if (bare_items) {
      Ref one = Ref::steal(PyLong_FromLong(1));
      Ref row_shape = one ? dict_of({{kRequired, list_of(kContent.get()).get()}, {kMaxProperties, one}}) : nullptr;
      Ref bare = row_shape ? excluding(item, row_shape) : nullptr;
      row = bare ? dict_of({{kAnyOf, list_of(row.get(), bare.get()).get()}}) : nullptr;
    }
    return row ? dict_of({{kType, kArray}, {kItems, row}}) : nullptr;
  }

  // {"selection": key, key: data} for each member, keyed by its type key.
  Ref union_schema(const std::vector<PyObject*>& members, PyObject* metadata) {
    Ref branches = Ref::steal(PyList_New(0));
    if (!branches) return nullptr;
    for (PyObject* member : members) {
      Ref key = type_key(member);
      Ref child;
      if (!key || !member_metadata(metadata, member, child)) return nullptr;
      Ref selection = constant(key);
      Ref content = selection ? schema_of(member, child) : nullptr;
      Ref branch = content ? closed_object(dict_of({{kSelection, selection}, {key, content}})) : nullptr;
      if (!branch || PyList_Append(branches, branch) < 0) return nullptr;
    }
    return dict_of({{kOneOf, branches}});
  }

  // A | B parses as ConfigUnion[A | B]; with None it parses as an optional,
  // from null, from its content as such (as a value built in code writes
  // it) or from the optional's own shapes (as a parsed value writes it).
  Ref plain_union_schema(PyObject* tp, PyObject* metadata) {
    std::vector<PyObject*> members;
    bool optional = false;
    Ref args = plain_union_members(tp, members, optional);
    if (!args) return nullptr;
    if (!optional) return union_schema(members, metadata);
    Ref inner;
    if (!child_metadata(metadata, kContent, inner)) return nullptr;
    Ref content = members.size() == 1 ? schema_of(members[0], inner) : union_schema(members, inner);
    Ref wrapper_shape = content ? dict_of({{kRequired, list_of(kDefault.get()).get()}}) : nullptr;
    Ref bare = wrapper_shape ? excluding(content, wrapper_shape) : nullptr;
    Ref null = bare ? typed(kNull) : nullptr;
    Ref off, on;
    if (!null || !optional_shapes(content, off, on)) return nullptr;
    return dict_of({{kAnyOf, list_of(null.get(), bare.get(), off.get(), on.get()).get()}});
  }

  // Unions and the built-in containers; parsing reads no other alias.
  Ref alias_schema(PyObject* tp, PyObject* origin, PyObject* metadata) {
    // typing.Union is types.UnionType, so one comparison covers both spellings.
    Ref union_type = kUnionType.get();
    if (!union_type) return nullptr;
    if (origin == union_type.get()) return plain_union_schema(tp, metadata);
    if (!PyType_Check(origin)) return unsupported(kSchemaError, origin);
    if (!is_container(origin)) return unsupported(kQuorvelError, origin);
    Ref args = type_args(tp);
    if (!args) return nullptr;
    auto* container = reinterpret_cast<PyTypeObject*>(origin);
    if (PyType_IsSubtype(container, &PyTuple_Type)) return tuple_schema(args);
    if (PyType_IsSubtype(container, &PyDict_Type)) return dict_schema(args);
    if (PyTuple_GET_SIZE(args.get()) == 0) return not_parametrised(tp);
    return list_schema(PyTuple_GET_ITEM(args.get(), 0), metadata, true);
  }

  // tuple[A, B] by position, tuple[T, ...] item by item.
  Ref tuple_schema(PyObject* args) {
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count == 2 && PyTuple_GET_ITEM(args, 1) == Py_Ellipsis) {
      Ref item = schema_of(PyTuple_GET_ITEM(args, 0), nullptr);
      return item ? dict_of({{kType, kArray}, {kItems, item}}) : nullptr;
    }
    Ref length = Ref::steal(PyLong_FromSsize_t(count));
    // An empty prefixItems is no valid schema: tuple[()] is just the empty array.
    if (!length || count == 0) return length ? dict_of({{kType, kArray}, {kMaxItems, length}}) : nullptr;
    Ref positions = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; positions && i < count; ++i) {
      Ref position = schema_of(PyTuple_GET_ITEM(args, i), nullptr);
      if (!position || PyList_Append(positions, position) < 0) return nullptr;
    }
    return dict_of({{kType, kArray}, {kPrefixItems, positions}, {kMinItems, length}, {kMaxItems, length}});
  }

  // dict[K, V]: values typed Any are taken as they are; a dict with any
  // other arguments is a free JSON object.
  Ref dict_schema(PyObject* args) {
    if (PyTuple_GET_SIZE(args) != 2) return typed(kObject);
    Ref any = kAny.get();
    if (!any) return nullptr;
    PyObject* value_type = PyTuple_GET_ITEM(args, 1);
    Ref values = value_type == any.get() ? Ref::steal(PyDict_New()) : schema_of(value_type, nullptr);
    Ref names = values ? key_names(PyTuple_GET_ITEM(args, 0)) : nullptr;
    if (!names) return nullptr;
    Ref schema = dict_of({{kType, kObject}, {kAdditionalProperties, values}});
    if (!schema || names.get() == Py_None) return schema;
    return PyDict_SetItem(schema, kPropertyNames, names) == 0 ? schema : nullptr;
  }

  // What the keys of a dict[K, V] may be, as JSON writes them: None for any
  // text. A JSON key is text, so keys that parse into neither an int nor an
  // enumeration member stay text, and are of the wrong type unless K is str.
  Ref key_names(PyObject* key_type) {
    if (key_type == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return Ref::borrow(Py_None);
    if (key_type == reinterpret_cast<PyObject*>(&PyLong_Type)) return dict_of({{kPattern, kIntKeyPattern}});
    if (key_type == reinterpret_cast<PyObject*>(&PyBool_Type) || key_type == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
      return Ref::borrow(Py_False);
    }
    int enumeration = PyType_Check(key_type) ? is_subclass_of(key_type, kEnum) : 0;
    if (enumeration != 0) return enumeration < 0 ? nullptr : dict_of({{kEnumKeyword, member_values(key_type, true).get()}});
    return unsupported(kQuorvelError, key_type);
  }

  // One record field: its kind's schema, titled and described as the form
  // shows it, with its default as UI data.
  bool add_property(PyObject* descriptor, PyObject* hints, PyObject* properties, PyObject* required) {
    Ref name = Ref::steal(PyObject_GetAttr(descriptor, kName));
    Ref annotation = name ? record_fields::field_annotation(hints, descriptor, name) : nullptr;
    Ref metadata = annotation ? Ref::steal(PyObject_GetAttr(descriptor, kMetadata)) : nullptr;
    if (!metadata) return false;
    field_ = name;
    Ref kind = schema_of(annotation, metadata);
    Ref property = kind ? labels(name, metadata) : nullptr;
    Ref fallback;
    if (!property || PyDict_Update(property, kind) < 0 || !default_of(descriptor, fallback)) return false;
    Ref data = fallback ? rt::call_global(kBuildDefaults, fallback) : nullptr;
    Ref json = data ? json_data(data) : nullptr;
    if (fallback && (!json || PyDict_SetItem(property, kDefault, json) < 0)) return false;
    if (PyDict_SetItem(properties, name, property) < 0) return false;
    Ref init = fallback ? nullptr : Ref::steal(PyObject_GetAttr(descriptor, kInit));
    int needed = init ? PyObject_IsTrue(init) : 0;
    if (!fallback && !init) return false;
    return needed >= 0 && (!needed || PyList_Append(required, name) == 0);
  }

  // {"title": ..., "description": ...}: the label the form gives the field
  // (its metadata's display name, else its capitalised name) and its
  // metadata's description, where that is text.
  Ref labels(PyObject* name, PyObject* metadata) {
    Ref title, description;
    if (!metadata_entry(metadata, kDisplayName, title) || !metadata_entry(metadata, kDescription, description)) {
      return nullptr;
    }
    if (!title || !PyUnicode_Check(title.get())) {
      Ref base_field = kBaseField.get();
      title = base_field ? Ref::steal(PyObject_CallMethodOneArg(base_field, kCapitalize, name)) : nullptr;
    }
    Ref property = title ? dict_of({{kTitle, title}}) : nullptr;
    if (!property || !description || !PyUnicode_Check(description.get())) return property;
    return PyDict_SetItem(property, kDescription, description) == 0 ? property : nullptr;
  }

  // The field's default, or the value its default factory makes, into
  // `value` (nullptr, without an error, when it has neither).
  static bool default_of(PyObject* descriptor, Ref& value) {
    Ref missing = kMissing.get();
    Ref fallback = missing ? Ref::steal(PyObject_GetAttr(descriptor, kDefault)) : nullptr;
    Ref factory = fallback ? Ref::steal(PyObject_GetAttr(descriptor, kDefaultFactory)) : nullptr;
    if (!factory) return false;
    if (fallback.get() != missing.get()) {
      value = fallback;
      return true;
    }
    value = factory.get() == missing.get() ? nullptr : Ref::steal(PyObject_CallNoArgs(factory));
    return factory.get() == missing.get() || value;
  }

  // The definition of a record class, from the cache where it can be kept;
  // the classes it refers to join the walk.
  Ref definition_of(PyObject* cls) {
    Ref token = record_fields::stock_descriptors(cls) ? rt::attr(cls, kDunderDataclassFields) : nullptr;
    if (!token) PyErr_Clear();
    Ref entry = token ? definition_cache.find(cls) : nullptr;
    if (!entry || PyTuple_GET_ITEM(entry.get(), 0) != token.get()) entry = described_anew(cls, token);
    if (!entry) return nullptr;
    Ref references = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 2));
    Py_ssize_t end = PyList_GET_SIZE(references_.get());
    if (PyList_SetSlice(references_, end, end, references) < 0) return nullptr;
    return copy_json(PyTuple_GET_ITEM(entry.get(), 1));
  }

  // (token, definition, references) of `cls`, kept when it can be.
  static Ref described_anew(PyObject* cls, PyObject* token) {
    Writer writer;
    Ref references;
    bool resolved = false;
    Ref definition = writer.start() ? writer.record_definition(cls, references, resolved) : nullptr;
    Ref entry = definition ? rt::tuple_of(token ? token : Py_None, definition.get(), references.get()) : nullptr;
    // Classes that cannot be weakly referenced are simply not cached.
    if (entry && token && resolved && !definition_cache.store(cls, entry)) PyErr_Clear();
    return entry;
  }

  // --- errors ----------------------------------------------------------------------

  // An annotation parsing cannot read, reported with the error class the
  // form builder reports it with.
  std::nullptr_t unsupported(const rt::Global& error_class, PyObject* tp) const {
    PyObject* field = field_ ? field_.get() : Py_None;
    rt::raise_global(error_class, PyUnicode_FromFormat("Unsupported field type %R for field %R.", tp, field));
    return nullptr;
  }

  // A list, optional or union without its type argument: a TypeError for
  // the caller's own alias, a library error inside a field.
  std::nullptr_t not_parametrised(PyObject* tp) const {
    if (!field_) {
      PyErr_Format(PyExc_TypeError, "json_schema() needs a parametrised alias, got %R", tp);
      return nullptr;
    }
    rt::raise_global(kTypeResolutionError, PyUnicode_FromFormat("%R of field %R must be parametrised.", tp,
                                                                field_.get()));
    return nullptr;
  }

  Ref references_;  // the record classes referred to, in the order met
  Ref field_;       // the record field being described; nullptr for the caller's alias
};

// --- json_schema ---------------------------------------------------------------------

PyObject* not_content(PyObject* alias) {
  PyErr_Format(PyExc_TypeError, "json_schema() expects a content class or a parametrised content alias, got %R",
               alias);
  return nullptr;
}

// {"$schema": ..., <the alias's own schema>, "$defs": ...}
PyObject* document(PyObject* root, PyObject* defs) {
  Ref dialect = Ref::steal(PyUnicode_FromString(kDialect));
  Ref result = dialect ? dict_of({{kSchemaKeyword, dialect}}) : nullptr;
  if (!result || PyDict_Update(result, root) < 0) return nullptr;
  if (PyDict_GET_SIZE(defs) > 0 && PyDict_SetItem(result, kDefs, defs) < 0) return nullptr;
  return result.release();
}

PyObject* json_schema(rt::Function*, PyObject* const* args) {
  PyObject* alias = args[0];
  int content = PyType_Check(alias) ? is_subclass_of(alias, kBaseConfigurableData) : 0;
  if (content <= 0) return content < 0 ? nullptr : not_content(alias);
  Writer writer;
  Ref root = writer.start() ? writer.root(alias) : nullptr;
  Ref defs = root ? writer.definitions() : nullptr;
  return defs ? document(root, defs) : nullptr;
}

// --- declarations ------------------------------------------------------------------

constexpr rt::Param kJsonSchemaParams[] = {{"alias", "Any"}};

const rt::FunctionSpec kJsonSchemaSpec = {
    "json_schema",
    "Return the JSON Schema (draft 2020-12) of the UI defaults of `alias`.\n\n"
    "`alias` is a content class (a record, an enumeration, ...) or a parametrised alias such as\n"
    "`ConfigList[Camera]`. Unless a class overrides its disk methods, the schema also describes\n"
    "its disk representation. Record classes are described under \"$defs\" by their type key.\n"
    "Where parsing is lenient the schema is strict: data it accepts parses, and `check` finds\n"
    "nothing wrong with the parsed value. Each call returns a new dict.\n\n"
    "Raises:\n"
    "    TypeError: If `alias` is not a content class or a parametrised content alias.\n"
    "    QuorvelError: If a field's annotation cannot be parsed (the error names the field).",
    json_schema, kJsonSchemaParams, "dict[str, Any]"};

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{nullptr, "json"},
                                 {"dataclasses", "MISSING"},
                                 {"enum", "Enum"},
                                 {"types", "UnionType"},
                                 {"typing", "Any"},
                                 {"typing", "get_args"},
                                 {"typing", "get_origin"},
                                 {"typing", "get_type_hints"},
                                 {"nimbrel.quorvel.data.content_core", "BaseConfigurableData"},
                                 {"nimbrel.quorvel.data.content_core", "build_defaults"},
                                 {"nimbrel.quorvel.data.record_content", "ConfigData"},
                                 {"nimbrel.quorvel.data.list_content", "ConfigList"},
                                 {"nimbrel.quorvel.data.optional_content", "ConfigOptional"},
                                 {"nimbrel.quorvel.data.union_content", "ConfigUnion"},
                                 {"nimbrel.quorvel.data.json_content", "ConfigUntypedDict"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelSchemaError"},
                                 {"nimbrel.quorvel.core.exceptions", "QuorvelTypeResolutionError"},
                                 {"nimbrel.quorvel.core.naming", "display_class_name"},
                                 {"nimbrel.quorvel.fields.field_models", "BaseField"},
                                 {"nimbrel.quorvel.typing.type_lookup", "get_implementation"},
                                 {"nimbrel.quorvel.typing.type_lookup", "type_key_class"}}) ||
      !record_fields::init(module) || !definition_cache.init()) {
    return false;
  }
  return rt::add_function(module, kJsonSchemaSpec);
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(_schema, "The JSON Schema of configuration data.", quorvel::exec_module)
