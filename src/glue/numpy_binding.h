// NumPy's native array interface: bound once at import, then used for the
// array checks of the binding and for reading colour triples.
#pragma once

#include <Python.h>

#include <cstdint>

namespace velmar {

enum class Element { UInt8, Int32 };

// Binds NumPy's C API (feature level of NumPy 1.20 or later); ImportError,
// caused by NumPy's own complaint, when the running NumPy does not fit.
void bind_numpy();

bool is_ndarray(PyObject *object);

// ValueError naming `name` unless `array` (an ndarray) has `ndim` dimensions
// and native elements of type `element`.
void check_array(PyObject *array, const char *name, Element element, int ndim);

// Element count of a 1-D array and its element `index`, read through its
// stride. `array` has passed check_array for Int32 and 1 dimension.
std::int64_t array_length(PyObject *array);
std::int32_t int32_at(PyObject *array, std::int64_t index);

}  // namespace velmar
