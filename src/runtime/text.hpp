// Small text helpers with an ASCII fast path.
#pragma once

#include "ref.hpp"

namespace quorvel::rt {

// `text.lower()`, without a method call for ASCII text.
Ref lower(PyObject* text);

}  // namespace quorvel::rt
