// Sequence handling as Python's own unpacking and for-loops do it: a list or
// tuple is read directly, any other iterable is iterated.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace velmar {

// Exactly `count` elements, or ValueError for too many or too few values.
std::vector<nanobind::object> unpack(nanobind::handle sequence, std::size_t count);

// Calls `visit` with each element in order; TypeError when not iterable.
void for_each_item(nanobind::handle iterable,
                   const std::function<void(nanobind::handle)> &visit);

}  // namespace velmar
