#include "glue/namespace.h"

#include "glue/errors.h"

namespace nb = nanobind;

namespace velmar {
namespace {

constexpr const char *name_texts[] = {
    "sys", "os", "time", "datetime", "timedelta", "csv", "np", "cv2", "caputil", "print", "open",
    "int", "iterations", "days", "seconds", "timespec", "GaussianBlur", "absdiff", "threshold",
    "THRESH_BINARY", "dilate", "findContours", "RETR_EXTERNAL", "CHAIN_APPROX_SIMPLE",
    "contourArea", "CV2_MAJOR", "cvtColor", "COLOR_BGR2GRAY",
};
constexpr Py_ssize_t first_keyword = static_cast<Py_ssize_t>(Global::int_) + 1;
constexpr Py_ssize_t first_attr = first_keyword + static_cast<Py_ssize_t>(Keyword::timespec) + 1;

}  // namespace

nb::object make_global_names() {
    constexpr Py_ssize_t count = sizeof name_texts / sizeof name_texts[0];
    nb::object names = steal_checked(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(names.ptr(), i, check(PyUnicode_InternFromString(name_texts[i])));
    return names;
}

nb::object Namespace::operator[](Global name) const {
    PyObject *key = PyTuple_GET_ITEM(names_, static_cast<Py_ssize_t>(name));
    PyObject *value = PyDict_GetItemWithError(globals_, key);
    if (!value && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins();
        value = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
    }
    if (!value) {
        if (PyErr_Occurred())
            throw nb::python_error();
        raise(PyExc_NameError, "name '%U' is not defined", key);
    }
    return nb::borrow(value);
}

nb::handle Namespace::keyword(Keyword name) const {
    return PyTuple_GET_ITEM(names_, first_keyword + static_cast<Py_ssize_t>(name));
}

nb::object Namespace::get(nb::handle owner, Attr name) const {
    PyObject *key = PyTuple_GET_ITEM(names_, first_attr + static_cast<Py_ssize_t>(name));
    if (PyModule_CheckExact(owner.ptr())) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(owner.ptr()), key);
        if (value)
            return nb::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return steal_checked(PyObject_GetAttr(owner.ptr(), key));
}

}  // namespace velmar
