// How a call becomes typed values, in the fixed order of the checks:
// matching, scalar conversions, object types, then array element types and
// dimensions. The first failing check raises; nothing has run by then.
#pragma once

#include <Python.h>

#include "velmar/ccapture/bound_arguments.h"
#include "velmar/ccapture/parameters.h"

namespace velmar {

// `defaults` holds the values of the trailing parameters that have one, as
// `__defaults__` reports them (None when there are none).
BoundArguments bind_arguments(const Signature &signature, PyObject *defaults,
                              PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);

}  // namespace velmar
