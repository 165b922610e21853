// The runtime layer every extension module of the package is built with.
#pragma once

#include "bindings.hpp"
#include "classes.hpp"
#include "compat.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "location.hpp"
#include "module.hpp"
#include "names.hpp"
#include "ref.hpp"
#include "sharing.hpp"
#include "text.hpp"
#include "type_state.hpp"

namespace quorvel {
using rt::Ref;
}  // namespace quorvel
