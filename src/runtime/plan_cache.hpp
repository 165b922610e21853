// Per-class plans: C++ structs owned by a capsule kept in a ClassCache, so a plan goes with its class.
#pragma once

#include <memory>

#include "classes.hpp"

namespace quorvel::rt {

template <typename Plan>
class PlanCache {
 public:
  // A plan with the capsule that owns it. The plan outlives a replacement of its cache entry while this is
  // held, as a parse may rebuild the plan of a class it is nested in.
  struct Held {
    Ref owner;
    Plan* plan = nullptr;
    explicit operator bool() const { return plan != nullptr; }
    Plan* operator->() const { return plan; }
  };

  bool init() { return cache_.init(); }

  // The plan stored for `cls`, or none (without an error).
  Held find(PyObject* cls) const {
    Ref owner = cache_.find(cls);
    if (!owner) return {};
    auto* plan = static_cast<Plan*>(PyCapsule_GetPointer(owner, kCapsuleName));
    return {std::move(owner), plan};
  }

  // `plan`, held; when `cls` is given, also stored for it (a class that cannot be weakly referenced simply
  // goes without).
  Held keep(std::unique_ptr<Plan> plan, PyObject* cls = nullptr) {
    Ref owner = Ref::steal(PyCapsule_New(plan.get(), kCapsuleName, destroy));
    if (!owner) return {};
    Plan* kept = plan.release();
    if (cls != nullptr && !cache_.store(cls, owner)) PyErr_Clear();
    return {std::move(owner), kept};
  }

 private:
  static constexpr const char* kCapsuleName = "quorvel class plan";
  static void destroy(PyObject* capsule) { delete static_cast<Plan*>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

  ClassCache cache_;
};

}  // namespace quorvel::rt
