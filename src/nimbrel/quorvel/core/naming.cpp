// Display helpers for messages and the conversion of class names to type keys.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime.hpp"

namespace quorvel {
namespace {

rt::Name kBitLength("bit_length");

// --- display_class_name ---------------------------------------------------

PyObject* display_class_name(rt::Function*, PyObject* const* args) {
  PyObject* a = args[0];
  Ref name = Ref::steal(PyObject_GetAttr(a, kDunderName));
  if (!name) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
  } else if (PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > 0) {
    return name.release();
  }
  return PyObject_Repr(a);
}

// --- display_value --------------------------------------------------------

// The head of repr(value), written only as far as a message shows it. The text is
// the one the full repr would start with, but the walk stops once it is longer
// than the budget, so a huge or deeply nested value costs no more than its head.
// Built-in containers and scalars are written here, the way their own reprs
// write them; anything else is asked for its real repr. Elements past the head
// are never visited, so their reprs are neither paid for nor able to fail.
class ReprHead {
 public:
  // The writer grows as it goes: a generous limit must not reserve its size up front.
  explicit ReprHead(Py_ssize_t budget) : budget_(budget), writer_(PyUnicodeWriter_Create(std::min<Py_ssize_t>(budget, 64))) {}
  ~ReprHead() {
    if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
  }
  ReprHead(const ReprHead&) = delete;
  ReprHead& operator=(const ReprHead&) = delete;

  Py_ssize_t written() const { return written_; }

  // Dispatched on the repr a value's class uses, so that subclasses which keep
  // the built-in repr are shown the same bounded way.
  bool write(PyObject* value) {
    if (writer_ == nullptr) return false;
    if (full()) return true;
    reprfunc repr = Py_TYPE(value)->tp_repr;
    if (repr == PyUnicode_Type.tp_repr) return write_str(value);
    if (repr == PyLong_Type.tp_repr) return write_int(value);
    if (repr == PyList_Type.tp_repr) return write_items(value, "[", "]", "[...]");
    if (repr == PyTuple_Type.tp_repr) {
      return write_items(value, "(", PyTuple_GET_SIZE(value) == 1 ? ",)" : ")", "(...)");
    }
    if (repr == PyDict_Type.tp_repr) return write_dict(value);
    if (repr == PySet_Type.tp_repr) return write_set(value);
    return write_repr_of(value);
  }

  Ref finish() {
    PyUnicodeWriter* writer = writer_;
    writer_ = nullptr;
    return Ref::steal(PyUnicodeWriter_Finish(writer));
  }

 private:
  // Marks a container as being shown, as the built-in reprs do, so that a cycle
  // back to it reads "[...]" and an element's own repr sees the same marks.
  class ReprMark {
   public:
    explicit ReprMark(PyObject* container) : container_(container), state_(Py_ReprEnter(container)) {}
    ~ReprMark() {
      if (state_ == 0) Py_ReprLeave(container_);
    }
    ReprMark(const ReprMark&) = delete;
    ReprMark& operator=(const ReprMark&) = delete;
    bool failed() const { return state_ < 0; }
    bool cycle() const { return state_ > 0; }

   private:
    PyObject* container_;
    int state_;
  };

  bool full() const { return written_ >= budget_; }
  Py_ssize_t room() const { return budget_ - written_; }

  bool append(PyObject* text) {
    Py_ssize_t take = std::min(PyUnicode_GET_LENGTH(text), room());
    if (PyUnicodeWriter_WriteSubstring(writer_, text, 0, take) < 0) return false;
    written_ += take;
    return true;
  }

  bool append(const char* text) {
    Py_ssize_t take = std::min(static_cast<Py_ssize_t>(std::strlen(text)), room());
    if (PyUnicodeWriter_WriteASCII(writer_, text, take) < 0) return false;
    written_ += take;
    return true;
  }

  bool append(Ref text) { return text && append(text.get()); }

  bool write_repr_of(PyObject* value) { return append(Ref::steal(PyObject_Repr(value))); }

  // Both brackets of an empty list, tuple or dict are written before the mark,
  // and a cycle shows as the bracketed ellipsis, exactly as their reprs do.
  template <typename Body>
  bool write_container(PyObject* container, const char* cycle_text, Body body) {
    rt::RecursionGuard guard(" while getting the repr of an object");
    if (!guard) return false;
    ReprMark mark(container);
    if (mark.failed()) return false;
    if (mark.cycle()) return append(cycle_text);
    return body();
  }

  bool write_items(PyObject* sequence, const char* open, const char* close, const char* cycle_text) {
    if (Py_SIZE(sequence) == 0) return append(open) && append(close);
    return write_container(sequence, cycle_text,
                           [&] { return append(open) && write_elements(sequence) && append(close); });
  }

  // The elements of a list or tuple, comma-separated, as far as the head goes.
  bool write_elements(PyObject* sequence) {
    // An element's repr may shrink the list under us, so its size is read afresh.
    for (Py_ssize_t i = 0; i < Py_SIZE(sequence) && !full(); ++i) {
      Ref item = Ref::borrow(PyList_Check(sequence) ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
      if ((i > 0 && !append(", ")) || !write(item)) return false;
    }
    return true;
  }

  bool write_dict(PyObject* dict) {
    if (PyDict_GET_SIZE(dict) == 0) return append("{}");
    return write_container(dict, "{...}", [&] {
      if (!append("{")) return false;
      Py_ssize_t position = 0;
      PyObject* borrowed_key;
      PyObject* borrowed_value;
      bool first = true;
      while (!full() && PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) {
        // The key's repr may delete the entry, so both are held for the pair.
        Ref key = Ref::borrow(borrowed_key);
        Ref value = Ref::borrow(borrowed_value);
        if ((!first && !append(", ")) || !write(key) || !append(": ") || !write(value)) return false;
        first = false;
      }
      return append("}");
    });
  }

  // Shown as set's own repr shows both sets and frozensets: the class's name
  // unless the value is an exact set, and the entries in table order whatever
  // a subclass's __iter__ does. set's repr copies its entries before showing
  // them; here only as many are copied as could be shown, each being at least
  // one character long.
  bool write_set(PyObject* set) {
    const char* name = Py_TYPE(set)->tp_name;
    std::string cycle_text = std::string(name) + "(...)";
    return write_container(set, cycle_text.c_str(), [&] {
      if (PySet_GET_SIZE(set) == 0) return append(name) && append("()");
      Ref entries = first_entries(set, room());
      if (!entries) return false;
      bool exact = PySet_CheckExact(set);
      if (!(exact ? append("{") : append(name) && append("({"))) return false;
      return write_elements(entries) && append(exact ? "}" : "})");
    });
  }

  static Ref first_entries(PyObject* set, Py_ssize_t count) {
    Ref entries = Ref::steal(PyList_New(0));
    Ref iterator = entries ? Ref::steal(PySet_Type.tp_iter(set)) : nullptr;
    if (!iterator) return nullptr;
    while (PyList_GET_SIZE(entries.get()) < count) {
      Ref entry = Ref::steal(PyIter_Next(iterator));
      if (!entry) return PyErr_Occurred() ? nullptr : entries;
      if (PyList_Append(entries, entry) < 0) return nullptr;
    }
    return entries;
  }

  // A str's quotes depend on the quotes anywhere in it, so the choice scans the
  // whole text (a character search, with no copy); the escaped head is then the
  // interpreter's own repr of the head, with quotes appended that force the same
  // choice and are cut off again.
  bool write_str(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length < room()) return write_repr_of(text);
    Py_ssize_t single = PyUnicode_FindChar(text, '\'', 0, length, 1);
    Py_ssize_t dual = single >= 0 ? PyUnicode_FindChar(text, '"', 0, length, 1) : -1;
    if (single == -2 || dual == -2) return false;
    bool double_quoted = single >= 0 && dual == -1;
    // '\'"' escapes to three characters plus the closing quote; a lone '\'' inside
    // double quotes is one plus the closing quote.
    const char* forcing = double_quoted ? "'" : "'\"";
    Py_ssize_t forced_tail = double_quoted ? 2 : 4;
    Ref head = Ref::steal(PyUnicode_Substring(text, 0, room()));
    Ref tail = Ref::steal(PyUnicode_FromString(forcing));
    Ref joined = head && tail ? Ref::steal(PyUnicode_Concat(head, tail)) : nullptr;
    Ref shown = joined ? Ref::steal(PyObject_Repr(joined)) : nullptr;
    if (!shown) return false;
    return append(Ref::steal(PyUnicode_Substring(shown, 0, PyUnicode_GET_LENGTH(shown) - forced_tail)));
  }

  // Decimal conversion of an int is quadratic and refused past a few thousand
  // digits, so a long int shows its leading digits, found by dividing off the
  // ones beyond the head: 2**(bits - 1) <= |value| bounds the digit count below.
  bool write_int(PyObject* value) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) return write_repr_of(value);
    // Through int's own slot: an exact int, whatever a subclass overrides.
    Ref magnitude = Ref::steal(PyLong_Type.tp_as_number->nb_absolute(value));
    Ref bit_length = magnitude ? Ref::steal(PyObject_CallMethodNoArgs(magnitude, kBitLength)) : nullptr;
    int64_t bits = bit_length ? PyLong_AsLongLong(bit_length) : -1;
    if (bits < 0) return false;
    constexpr double kLog10Of2 = 0.30102999566398120;
    // One digit short of the bound, in case the product rounds up across an integer.
    int64_t digits_at_least = static_cast<int64_t>(static_cast<double>(bits - 1) * kLog10Of2);
    int64_t dropped = digits_at_least - room() - 1;
    if (dropped <= 0) return write_repr_of(value);
    Ref ten = Ref::steal(PyLong_FromLong(10));
    Ref exponent = Ref::steal(PyLong_FromLongLong(dropped));
    Ref divisor = ten && exponent ? Ref::steal(PyNumber_Power(ten, exponent, Py_None)) : nullptr;
    Ref leading = divisor ? Ref::steal(PyNumber_FloorDivide(magnitude, divisor)) : nullptr;
    if (!leading) return false;
    if (overflow < 0 && !append("-")) return false;
    return write_repr_of(leading);
  }

  Py_ssize_t budget_;
  Py_ssize_t written_ = 0;
  PyUnicodeWriter* writer_;
};

Ref truncated(PyObject* text, Py_ssize_t end) {
  Ref head = Ref::steal(PyUnicode_Substring(text, 0, end));
  return head ? Ref::steal(PyUnicode_FromFormat("%U (truncated)", head.get())) : nullptr;
}

// Slicing semantics throughout: a negative length counts from the end, a huge
// one clips, and a slice is an exact str even of a str subclass that __repr__ gave.
Ref shortened_full_repr(PyObject* value, Py_ssize_t limit) {
  Ref rep = Ref::steal(PyObject_Repr(value));
  if (!rep) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(rep.get());
  if (length <= limit) return Ref::steal(PyUnicode_Substring(rep, 0, length));
  return truncated(rep, limit >= 0 ? limit : (length + limit > 0 ? length + limit : 0));
}

Ref shortened_repr(PyObject* value, Py_ssize_t limit) {
  // A negative length needs the full length; an unbounded one has no head to stop at.
  if (limit < 0 || limit == PY_SSIZE_T_MAX) return shortened_full_repr(value, limit);
  ReprHead head(limit + 1);
  if (!head.write(value)) return nullptr;
  Py_ssize_t written = head.written();
  Ref text = head.finish();
  if (!text || written <= limit) return text;
  return truncated(text, limit);
}

PyObject* display_value(rt::Function*, PyObject* const* args) {
  Py_ssize_t limit = PyNumber_AsSsize_t(args[1], nullptr);
  if (limit == -1 && PyErr_Occurred()) return nullptr;
  Ref shown = shortened_repr(args[0], limit);
  if (shown || !PyErr_ExceptionMatches(PyExc_AttributeError)) return shown.release();
  Ref error = Ref::steal(PyErr_GetRaisedException());
  return PyObject_Repr(error);
}

// --- python_identifier_to_type_key ----------------------------------------

bool is_lower_or_digit(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool is_upper(Py_UCS4 c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(Py_UCS4 c) { return c >= 'a' && c <= 'z'; }

// The rewrites "([a-z0-9])([A-Z])" -> "\1_\2", then "([A-Z]+)([A-Z][a-z])"
// -> "\1_\2", then "_+" -> "_", done in one pass. Neither insertion can fall
// inside a run of capitals except before its last one, so the runs the second
// rewrite sees are the input's own, and every decision reads the input alone:
// an underscore goes before a capital that follows a lowercase letter or digit,
// or that ends a run of capitals and starts a lowercase word.
template <typename Read, typename Emit>
void snake_case(Py_ssize_t begin, Py_ssize_t end, Read read, Emit emit) {
  Py_UCS4 last = 0;
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = read(i);
    if (is_upper(c) && i > begin) {
      Py_UCS4 before = read(i - 1);
      bool starts_word = is_lower_or_digit(before) || (is_upper(before) && i + 1 < end && is_lower(read(i + 1)));
      if (starts_word) emit(last = '_');
    }
    if (c == '_' && last == '_') continue;
    emit(last = c);
  }
}

Ref ascii_type_key(PyObject* name, Py_ssize_t leading) {
  const Py_UCS1* data = PyUnicode_1BYTE_DATA(name);
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  // At most one underscore is added per character; the text is cut to size after.
  PyObject* key = PyUnicode_New(leading + 2 * (length - leading), 127);
  if (key == nullptr) return nullptr;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(key);
  Py_ssize_t size = leading;
  std::memset(out, '_', leading);
  snake_case(leading, length, [data](Py_ssize_t i) -> Py_UCS4 { return data[i]; },
             [out, &size](Py_UCS4 c) { out[size++] = static_cast<Py_UCS1>(is_upper(c) ? c + ('a' - 'A') : c); });
  if (PyUnicode_Resize(&key, size) < 0) {
    Py_DECREF(key);  // a failed resize leaves the original in place
    return nullptr;
  }
  return Ref::steal(key);
}

Ref unicode_type_key(PyObject* name, Py_ssize_t leading) {
  int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  std::u32string core;
  snake_case(leading, PyUnicode_GET_LENGTH(name), [kind, data](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); },
             [&core](Py_UCS4 c) { core.push_back(c); });
  Ref text = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, core.data(), core.size()));
  // str.lower: the Unicode case rules apply to non-ASCII letters.
  Ref lowered = text ? rt::lower(text) : nullptr;
  if (!lowered || leading == 0) return lowered;
  Ref prefix = Ref::steal(PyUnicode_Substring(name, 0, leading));
  return prefix ? Ref::steal(PyUnicode_Concat(prefix, lowered)) : nullptr;
}

PyObject* python_identifier_to_type_key(rt::Function*, PyObject* const* args) {
  PyObject* name = args[0];
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0) return Py_NewRef(name);
  Py_ssize_t leading = 0;
  while (leading < length && PyUnicode_READ_CHAR(name, leading) == '_') ++leading;
  return (PyUnicode_IS_ASCII(name) ? ascii_type_key(name, leading) : unicode_type_key(name, leading)).release();
}

// --- module ---------------------------------------------------------------

constexpr rt::Param kDisplayClassNameParams[] = {{"a", "Any"}};
constexpr rt::Param kDisplayValueParams[] = {
    {"value", "Any"},
    {"value_length", "int", rt::Kind::kPositionalOrKeyword, rt::Default::integer(25)},
};
constexpr rt::Param kTypeKeyParams[] = {{"name", "str"}};

const rt::FunctionSpec kFunctions[] = {
    {"display_class_name",
     "Return a human-readable name for a class type.\n\n"
     "Used in order to keep the same representation for classes.",
     display_class_name, kDisplayClassNameParams, "str"},
    {"display_value", "Display a value as a human-readable string that is truncated in order to not flood the logs.",
     display_value, kDisplayValueParams, "str"},
    {"python_identifier_to_type_key",
     "Convert CamelCase or mixedCase identifiers to snake_case.\n\n"
     "Rules:\n"
     "- Treat existing underscores as word boundaries.\n"
     "- Do not introduce duplicate underscores.\n"
     "- Preserve leading underscores.\n"
     "- Lowercase the result.",
     python_identifier_to_type_key, kTypeKeyParams, "str"},
};

bool exec_module(PyObject* module) {
  if (!rt::bind_imports(module, {{"typing", "Any"}, {nullptr, "re"}})) return false;
  for (const rt::FunctionSpec& spec : kFunctions) {
    if (!rt::add_function(module, spec)) return false;
  }
  return true;
}

}  // namespace
}  // namespace quorvel

QUORVEL_MODULE(naming, "Display and naming helpers used in every message and type key.", quorvel::exec_module)
