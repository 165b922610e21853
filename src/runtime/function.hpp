// The one callable type behind every function and method the modules expose.
#pragma once

#include <span>

#include "errors.hpp"

namespace quorvel::rt {

enum class Kind : unsigned char {
  kPositionalOnly,
  kPositionalOrKeyword,
  kVarPositional,
  kKeywordOnly,
  kVarKeyword,
};

// A default value, described at compile time and created with the function.
struct Default {
  enum class Type : unsigned char { kMissing, kNone, kInt, kBool, kStr, kImported };
  Type type = Type::kMissing;
  long long number = 0;
  const char* text = nullptr;
  const char* attribute = nullptr;

  static constexpr Default none() { return {Type::kNone}; }
  static constexpr Default integer(long long value) { return {Type::kInt, value}; }
  static constexpr Default boolean(bool value) { return {Type::kBool, value}; }
  static constexpr Default string(const char* value) { return {Type::kStr, 0, value}; }
  // `module.attribute`, imported when the function is created.
  static constexpr Default imported(const char* module, const char* attribute) {
    return {Type::kImported, 0, module, attribute};
  }
};

// One declared parameter. The annotation is the text `inspect.signature`
// shows; a built-in annotation ("str", "dict[str, Any]", "int", ...) also
// decides the check the argument goes through on entry.
struct Param {
  const char* name;
  const char* annotation = nullptr;
  Kind kind = Kind::kPositionalOrKeyword;
  Default fallback = {};
};

struct Function;

// Receives one slot per declared parameter, in declaration order, after
// binding and checks: a variadic positional parameter gets a tuple, a
// variadic keyword parameter a dict or nullptr when no extra keyword came.
using Impl = PyObject* (*)(Function* fn, PyObject* const* args);

struct FunctionSpec {
  const char* name;
  const char* doc;
  Impl impl;
  std::span<const Param> params;
  const char* returns = nullptr;  // return annotation text
  // False where the annotation text is kept for the signature but a value of
  // another type is a legitimate result, so it must not be checked.
  bool return_checked = true;
};

inline constexpr int kMaxParams = 12;

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* param_names;  // tuple of interned names
  PyObject* defaults;     // tuple, one entry per parameter (a sentinel where none)
  PyObject* dict;
  PyObject* owner;        // the class whose namespace holds the function, or nullptr
  PyObject* signature;    // built on first request
  PyObject* weakrefs;
  int positional_count;   // positional-only plus positional-or-keyword
  int var_positional;     // index, or -1
  int var_keyword;        // index, or -1
  bool simple;            // no variadic parameters
  Returns return_check;
  Check checks[kMaxParams];
};

// Creates the callable. `qualname_prefix` is the class qualname for a method
// (nullptr for a module-level function).
PyObject* make_function(const FunctionSpec& spec, PyObject* module_name, PyObject* qualname_prefix = nullptr);


}  // namespace quorvel::rt
