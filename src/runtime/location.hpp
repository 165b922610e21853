// Where in the data a parse failed: the location carried by library errors.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "module.hpp"

namespace quorvel::rt {

// The steps are added on the way out of a failing parse, each level putting
// the step it descended by in front, so a successful parse pays nothing.
// Only library errors (instances of `error_class`, the module's QuorvelError
// binding) carry a location; other exceptions pass untouched. Locating is
// best effort: should it fail, the pending error is kept as it was. Each
// returns nullptr, to end a failing path.
//
// While an error travels outwards its location is kept as a chain of
// [step, rest] pairs ending in a tuple, and a wrapping error shares the chain
// of the error it wraps, so each level costs the same whatever the depth.
// The `location` attribute turns the chain into a tuple when it is read.

// Puts `steps` in front of the location of the pending exception.
std::nullptr_t locate(const Global& error_class, std::initializer_list<PyObject*> steps);

// For an error just raised to wrap the one it caught (its cause): the wrapper
// is located at `step` followed by the location of the cause.
std::nullptr_t locate_wrapper(const Global& error_class, PyObject* step);

// Drops the first step of the pending exception's location when it is
// `step`: for data that a level wrapped itself before handing it on, whose
// wrapper the caller never saw.
std::nullptr_t drop_leading_step(const Global& error_class, PyObject* step);

// The `location` attribute of a library error: its location as a tuple
// (the root, an empty tuple, when it was never located), or whatever else
// was assigned to it.
Ref error_location(PyObject* error);
// Assigns the `location` attribute.
bool set_error_location(PyObject* error, PyObject* location);

// The RFC 6901 JSON Pointer of a location: "" for the root, else "/" before
// each step. Text steps escape "~" and "/"; other steps are written as JSON
// writes a dictionary key (ints in decimal, true, false, null).
Ref json_pointer(PyObject* location);

}  // namespace quorvel::rt
