// Conversions of the scalar kinds. Each raises the Python exception that the
// argument's own conversion raised, TypeError for an object without such a
// conversion (a str among them), and OverflowError outside the kind's range.
// `plain_str` gives OpenCV a str it cannot hold on to.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>

namespace velmar {

std::int32_t to_int32(PyObject *value);
std::int64_t to_int64(PyObject *value);
double to_double(PyObject *value);
bool to_bool(PyObject *value);

// A str subclass as a plain str copy (OpenCV 4's binding keeps a reference to
// a str subclass it is given as a name); anything else as it is.
nanobind::object plain_str(nanobind::handle value);

}  // namespace velmar
