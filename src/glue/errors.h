// Raising Python exceptions from C++: set the error, then throw nanobind's
// carrier so every frame between here and the Python boundary unwinds.
#pragma once

#include <nanobind/nanobind.h>

namespace velmar {

template <typename... Args>
[[noreturn]] void raise(PyObject *type, const char *format, Args... args) {
    PyErr_Format(type, format, args...);
    throw nanobind::python_error();
}

// Throws the pending Python error when `result` signals failure.
inline PyObject *check(PyObject *result) {
    if (!result)
        throw nanobind::python_error();
    return result;
}

inline nanobind::object steal_checked(PyObject *result) {
    return nanobind::steal(check(result));
}

}  // namespace velmar
