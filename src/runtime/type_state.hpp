// Noticing that a class was changed since a check was made about it.
#pragma once

#include "ref.hpp"

namespace quorvel::rt {

// The interpreter gives a class a new version tag whenever an attribute of it,
// or of any class on its MRO, is assigned or deleted (and none once it ran out
// of tags). A conclusion drawn about a class's methods and validators thus
// stays true while the tag recorded with it is the current one.
class TypeState {
 public:
  // Records the current state of `cls`; false when it has no version tag to
  // record, in which case `unchanged` answers false.
  bool record(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    tag_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    return tag_ != 0;
  }
  void forget() { tag_ = 0; }
  bool unchanged(PyObject* cls) const {
    return tag_ != 0 && reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag == tag_;
  }

 private:
  unsigned int tag_ = 0;
};

}  // namespace quorvel::rt
