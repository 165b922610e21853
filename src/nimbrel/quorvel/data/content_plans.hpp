// Plans of the generic content kinds: what parsing a parametrised class needs, resolved once per class and
// kept while nothing it was resolved from has changed.
#pragma once

#include <cstdint>
#include <memory>

#include "parse_call.hpp"
#include "plan_cache.hpp"
#include "runtime.hpp"

namespace quorvel::content_plans {

// What a plan was resolved under: the class's attributes and those along its
// MRO (`__origin__`, `__type_args__`, `__orig_bases__`) and the package's
// module namespaces, whose functions did the resolving.
class Resolution {
 public:
  // Records the current state of `cls`; false when it cannot be recorded,
  // and a plan resolved now must then not be kept.
  bool record(PyObject* cls) {
    generation_ = rt::NamespaceGeneration::current();
    return state_.record(cls);
  }
  bool holds(PyObject* cls) const {
    return generation_ == rt::NamespaceGeneration::current() && state_.unchanged(cls);
  }

 private:
  rt::TypeState state_;
  std::uint64_t generation_ = 0;
};

// The type argument a list or optional class parses its content with, and
// the route to it.
struct InnerPlan {
  Resolution resolution;
  Ref inner;
  parse_call::Route route = parse_call::Route::kDispatch;
};

using InnerPlans = rt::PlanCache<InnerPlan>;

// The plan for parsing `cls` with `alias`: the one kept for `cls` while it
// holds, else one made now with `resolve()` (the type argument, or nullptr
// with an error set), kept when `alias` is the class itself.
template <typename Resolve>
InnerPlans::Held inner_plan(InnerPlans& plans, PyObject* cls, PyObject* alias, Resolve resolve) {
  bool own_alias = alias == cls;
  if (own_alias) {
    if (InnerPlans::Held held = plans.find(cls); held && held->resolution.holds(cls)) return held;
  }
  auto plan = std::make_unique<InnerPlan>();
  // Recorded before resolving, so that a change made meanwhile shows.
  bool keep = own_alias && plan->resolution.record(cls);
  plan->inner = resolve();
  if (!plan->inner) return {};
  plan->route = parse_call::route_of(plan->inner);
  return plans.keep(std::move(plan), keep ? cls : nullptr);
}

}  // namespace quorvel::content_plans
