// Conversions of the scalar kinds. Each raises the Python exception that the
// argument's own conversion raised, TypeError for an object without such a
// conversion (a str among them), and OverflowError outside the kind's range.
#pragma once

#include <Python.h>

#include <cstdint>

namespace velmar {

std::int32_t to_int32(PyObject *value);
std::int64_t to_int64(PyObject *value);
double to_double(PyObject *value);
bool to_bool(PyObject *value);

}  // namespace velmar
