// Comparing two results the way a caller could tell them apart, for self-checks.
#pragma once

#include "ref.hpp"

namespace quorvel::rt {

// `repr(a) == repr(b)`: shows key order and value types, which `==` does not.
// 1, 0, or -1 with an error set.
int same_repr(PyObject* a, PyObject* b);

// Whether `first` and `second`, two results made from `original`, share the
// same parts of it: each is `original` itself or not, and where neither is,
// lists and dicts (by position and key) are compared the same way inside.
// 1, 0, or -1 with an error set.
int same_sharing(PyObject* original, PyObject* first, PyObject* second);

}  // namespace quorvel::rt
