// The module's callable type: a module-level function made from a Signature,
// carrying `__name__`, `__qualname__`, `__module__`, `__defaults__`,
// `__signature__` and no docstring, called with positional and keyword
// arguments through the vectorcall protocol.
#pragma once

#include <nanobind/nanobind.h>

#include "velmar/ccapture/parameters.h"

namespace velmar {

// The heap type the functions are instances of; one per module.
nanobind::object make_function_type();

// A function of `type` running `signature` with `globals` as its namespace;
// `names` is the tuple of make_global_names().
nanobind::object make_function(nanobind::handle type, const Signature &signature,
                               nanobind::handle globals, nanobind::handle names);

}  // namespace velmar
