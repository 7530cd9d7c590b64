#include "glue/conversions.h"

#include <limits>

#include "glue/errors.h"

namespace nb = nanobind;

namespace velmar {
namespace {

// An int, or the result of `__index__`, or of `__int__` (a float is truncated
// toward zero). Strings have neither and are refused rather than parsed.
nb::object as_python_int(PyObject *value) {
    if (PyLong_Check(value))
        return nb::borrow(value);
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (number && number->nb_index)
        return steal_checked(PyNumber_Index(value));
    if (number && number->nb_int)
        return steal_checked(PyNumber_Long(value));
    raise(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
          Py_TYPE(value)->tp_name);
}

}  // namespace

std::int64_t to_int64(PyObject *value) {
    nb::object integer = as_python_int(value);
    long long result = PyLong_AsLongLong(integer.ptr());
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

std::int32_t to_int32(PyObject *value) {
    nb::object integer = as_python_int(value);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0 || result < std::numeric_limits<std::int32_t>::min() ||
        result > std::numeric_limits<std::int32_t>::max())
        raise(PyExc_OverflowError, "Python int too large to convert to C int");
    return static_cast<std::int32_t>(result);
}

double to_double(PyObject *value) {
    if (PyFloat_CheckExact(value))
        return PyFloat_AS_DOUBLE(value);
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

bool to_bool(PyObject *value) {
    if (value == Py_True)
        return true;
    if (value == Py_False || value == Py_None)
        return false;
    int truth = PyObject_IsTrue(value);
    if (truth < 0)
        throw nb::python_error();
    return truth != 0;
}

nb::object plain_str(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()) || PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    return steal_checked(PyUnicode_FromObject(value.ptr()));
}

}  // namespace velmar
