// Console lines go through the `print` the module namespace resolves, so a
// caller can redirect or capture them; a quiet session prints none.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "capture/session.h"

namespace velmar::capture {

template <typename... Args>
void say(const Session &s, Args &&...args) {
    if (s.opt.verbose)
        s.ns[Global::print](std::forward<Args>(args)...);
}

}  // namespace velmar::capture
