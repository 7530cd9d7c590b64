// Calls with keyword arguments whose names are interned once, so a call made
// on every frame builds no strings.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>

#include "glue/errors.h"

namespace velmar {

// `function(*positional, **dict(zip(names, values)))`.
template <std::size_t P, std::size_t K>
nanobind::object call_with_keywords(nanobind::handle function,
                                    const std::array<nanobind::handle, P> &positional,
                                    const std::array<nanobind::handle, K> &names,
                                    const std::array<nanobind::handle, K> &values) {
    std::array<PyObject *, P + K> args{};
    nanobind::object kwnames = steal_checked(PyTuple_New(K));
    for (std::size_t i = 0; i < P; ++i)
        args[i] = positional[i].ptr();
    for (std::size_t k = 0; k < K; ++k) {
        args[P + k] = values[k].ptr();
        PyTuple_SET_ITEM(kwnames.ptr(), k, Py_NewRef(names[k].ptr()));
    }
    return steal_checked(PyObject_Vectorcall(function.ptr(), args.data(), P, kwnames.ptr()));
}

}  // namespace velmar
