// Console lines go through the `print` the module namespace resolves, so a
// caller can redirect or capture them.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "velmar/ccapture/namespace.h"

namespace velmar::capture {

template <typename... Args>
void print(const Namespace &ns, Args &&...args) {
    ns[Global::print](std::forward<Args>(args)...);
}

}  // namespace velmar::capture
