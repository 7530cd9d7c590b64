// Sequence handling as Python's own unpacking and for-loops do it: a list or
// tuple is read directly, any other iterable is iterated.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <functional>

namespace velmar {

// Exactly `count` elements into `items`, or ValueError for too many or too
// few values.
void unpack_into(nanobind::handle sequence, nanobind::object *items, std::size_t count);

template <std::size_t N>
std::array<nanobind::object, N> unpack(nanobind::handle sequence) {
    std::array<nanobind::object, N> items;
    unpack_into(sequence, items.data(), N);
    return items;
}

// Calls `visit` with each element in order; TypeError when not iterable.
void for_each_item(nanobind::handle iterable,
                   const std::function<void(nanobind::handle)> &visit);

}  // namespace velmar
