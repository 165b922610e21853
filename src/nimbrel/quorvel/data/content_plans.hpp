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

// --- making instances ---------------------------------------------------------------

inline rt::Name kDunderCall("__call__");
inline rt::Name kDunderInit("__init__");

// How the class of a kind makes its instances while nothing is overridden:
// calling it runs type.__call__, which makes the instance with the class's
// `__new__` (its tp_new slot) and initialises it with the `__init__` its MRO
// finds, the kind's own.
struct StockCreation {
  PyObject* call = nullptr;  // type.__call__
  PyObject* init = nullptr;  // the kind's own `__init__`

  // Read once the kind's classes exist: `init_owner` is the class whose
  // namespace holds the kind's `__init__`.
  bool remember(PyObject* init_owner) {
    Py_XSETREF(call, rt::mro_lookup(&PyType_Type, kDunderCall).release());
    Py_XSETREF(init, init_owner ? module_api::namespace_entry(init_owner, kDunderInit) : nullptr);
    return call && init;
  }
};

// Whether calling `cls` makes its instance as `stock` says, with a `__new__`
// that does nothing but allocate it: object.__new__ for a class that is not
// abstract (it refuses those), or the generic one list inherits. The slot is
// what the call runs, whatever the MRO holds under `__new__`.
inline bool creates_as_stock(PyTypeObject* cls, const StockCreation& stock) {
  bool allocates = cls->tp_new == PyType_GenericNew ||
                   (cls->tp_new == PyBaseObject_Type.tp_new && !PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT));
  return allocates && rt::mro_finds(Py_TYPE(cls), kDunderCall, stock.call) &&
         rt::mro_finds(cls, kDunderInit, stock.init);
}

// The verdict of `creates_as_stock` (and of what the kind's `__init__` needs
// besides) for one class, found again whenever the class or its metaclass
// changed: parsing the content runs code that may change them.
class StockProof {
 public:
  // `also(cls)` tells what the kind's `__init__` needs of the class besides.
  template <typename Also>
  bool holds(PyObject* cls, const StockCreation& stock, Also also) {
    if (!PyType_Check(cls)) return false;
    if (!states_.unchanged(cls)) {
      auto* type = reinterpret_cast<PyTypeObject*>(cls);
      states_.record(cls);
      stock_ = creates_as_stock(type, stock) && also(type);
    }
    return stock_;
  }

 private:
  parse_call::ClassStates states_;
  bool stock_ = false;
};

// `cls(content)` for a class whose kind's own `__init__` is the dataclass
// one of a single field: `self.<field> = content`. While the class makes its
// instances the stock way, the instance is allocated here and the field set
// as that `__init__` sets it, with no call through the class.
inline Ref make_holder(PyObject* cls, StockProof& proof, const StockCreation& stock, PyObject* field,
                       PyObject* content) {
  bool stock_way = proof.holds(cls, stock, [](PyTypeObject*) { return true; });
  if (!stock_way) return Ref::steal(PyObject_CallOneArg(cls, content));
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref made = Ref::steal(type->tp_alloc(type, 0));
  return made && PyObject_SetAttr(made, field, content) == 0 ? made : nullptr;
}

// --- plans -----------------------------------------------------------------------------

// The type argument a list or optional class parses its content with, and
// the route to it; and whether the class makes its instances the stock way.
struct InnerPlan {
  Resolution resolution;
  Ref inner;
  parse_call::Route route = parse_call::Route::kDispatch;
  StockProof creation;
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
