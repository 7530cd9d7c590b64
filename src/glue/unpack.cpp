#include "glue/unpack.h"

#include "glue/errors.h"

namespace nb = nanobind;

namespace velmar {
namespace {

[[noreturn]] void too_few(std::size_t count, std::size_t got) {
    raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", count,
          got);
}

[[noreturn]] void too_many(std::size_t count) {
    raise(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
}

}  // namespace

void unpack_into(nb::handle sequence, nb::object *items, std::size_t count) {
    PyObject *seq = sequence.ptr();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        std::size_t size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq));
        if (size < count)
            too_few(count, size);
        if (size > count)
            too_many(count);
        for (std::size_t i = 0; i < count; ++i)
            items[i] = nb::borrow(PySequence_Fast_GET_ITEM(seq, i));
        return;
    }
    nb::object iterator = steal_checked(PyObject_GetIter(seq));
    std::size_t got = 0;
    while (got <= count) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            break;
        }
        if (got < count)
            items[got] = nb::steal(item);
        else
            Py_DECREF(item);
        ++got;
    }
    if (got < count)
        too_few(count, got);
    if (got > count)
        too_many(count);
}

void for_each_item(nb::handle iterable, const std::function<void(nb::handle)> &visit) {
    PyObject *seq = iterable.ptr();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        nb::object keep = nb::borrow(iterable);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i)
            visit(nb::borrow(PySequence_Fast_GET_ITEM(seq, i)));
        return;
    }
    nb::object iterator = steal_checked(PyObject_GetIter(seq));
    while (PyObject *item = PyIter_Next(iterator.ptr()))
        visit(nb::steal(item));
    if (PyErr_Occurred())
        throw nb::python_error();
}

}  // namespace velmar
