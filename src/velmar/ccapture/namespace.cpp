#include "velmar/ccapture/namespace.h"

#include "velmar/ccapture/errors.h"

namespace nb = nanobind;

namespace velmar {

nb::object Namespace::operator[](const char *name) const {
    nb::object key = steal_checked(PyUnicode_InternFromString(name));
    PyObject *value = PyDict_GetItemWithError(globals_, key.ptr());
    if (!value && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins();
        value = builtins ? PyDict_GetItemWithError(builtins, key.ptr()) : nullptr;
    }
    if (!value) {
        if (PyErr_Occurred())
            throw nb::python_error();
        raise(PyExc_NameError, "name '%s' is not defined", name);
    }
    return nb::borrow(value);
}

}  // namespace velmar
