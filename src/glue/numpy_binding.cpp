#include "glue/numpy_binding.h"

#include <cstring>

#include <numpy/arrayobject.h>

#include "glue/errors.h"

namespace nb = nanobind;

namespace velmar {
namespace {

const char *element_name(Element element) {
    return element == Element::UInt8 ? "uint8" : "int32";
}

bool has_element(PyArrayObject *array, Element element) {
    PyArray_Descr *descr = PyArray_DESCR(array);
    if (PyArray_ISBYTESWAPPED(array))
        return false;
    int wanted = element == Element::UInt8 ? NPY_UINT8 : NPY_INT32;
    return PyArray_EquivTypenums(descr->type_num, wanted);
}

}  // namespace

void bind_numpy() {
    if (_import_array() < 0) {
        nb::chain_error(PyExc_ImportError, "numpy._core.multiarray failed to import");
        throw nb::python_error();
    }
}

bool is_ndarray(PyObject *object) { return PyArray_Check(object); }

void check_array(PyObject *object, const char *name, Element element, int ndim) {
    auto *array = reinterpret_cast<PyArrayObject *>(object);
    if (PyArray_NDIM(array) != ndim)
        raise(PyExc_ValueError,
              "Argument '%s' has wrong number of dimensions (expected %d, got %d)",
              name, ndim, PyArray_NDIM(array));
    if (!has_element(array, element))
        raise(PyExc_ValueError,
              "Argument '%s' has wrong element type (expected %s, got %R)", name,
              element_name(element), reinterpret_cast<PyObject *>(PyArray_DESCR(array)));
}

std::int64_t array_length(PyObject *object) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject *>(object), 0);
}

std::int32_t int32_at(PyObject *object, std::int64_t index) {
    auto *array = reinterpret_cast<PyArrayObject *>(object);
    const char *data = static_cast<const char *>(PyArray_DATA(array));
    std::int32_t value;
    std::memcpy(&value, data + index * PyArray_STRIDE(array, 0), sizeof value);
    return value;
}

}  // namespace velmar
