#include "motion/unpack.h"

#include "velmar/ccapture/errors.h"

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

std::vector<nb::object> unpack(nb::handle sequence, std::size_t count) {
    std::vector<nb::object> items;
    PyObject *seq = sequence.ptr();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        std::size_t size = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq));
        if (size < count)
            too_few(count, size);
        if (size > count)
            too_many(count);
        for (std::size_t i = 0; i < count; ++i)
            items.push_back(nb::borrow(PySequence_Fast_GET_ITEM(seq, i)));
        return items;
    }
    nb::object iterator = steal_checked(PyObject_GetIter(seq));
    while (items.size() <= count) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            break;
        }
        items.push_back(nb::steal(item));
    }
    if (items.size() < count)
        too_few(count, items.size());
    if (items.size() > count)
        too_many(count);
    return items;
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
