// Interned names that several modules use on their hot paths.
#pragma once

#include "module.hpp"

namespace quorvel {

inline rt::Name kDunderName("__name__");
inline rt::Name kDunderModule("__module__");
inline rt::Name kDunderQualname("__qualname__");
inline rt::Name kDunderOrigin("__origin__");
inline rt::Name kDunderTypeArgs("__type_args__");
inline rt::Name kDefault("default");
inline rt::Name kGet("get");
inline rt::Name kDunderSubclasshook("__subclasshook__");
inline rt::Name kLocation("location");
inline rt::Name kStoredLocation("_quorvel_location");

// Keyword names of calls several modules make.
inline rt::Keywords kDataAliasKeywords({"data", "alias"});             // from_defaults(data=, alias=)
inline rt::Keywords kOfIndexDefaultKeywords({"of", "index", "default"});  // resolve_generic_arg(tp, of=, index=, default=)

}  // namespace quorvel
