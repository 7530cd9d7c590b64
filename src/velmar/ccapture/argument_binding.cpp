#include "velmar/ccapture/argument_binding.h"

#include <array>

#include "glue/conversions.h"
#include "glue/errors.h"
#include "glue/numpy_binding.h"

namespace velmar {
namespace {

using Slots = std::array<PyObject *, max_parameters>;

bool is_scalar(Kind kind) {
    return kind == Kind::Int || kind == Kind::Long || kind == Kind::Float ||
           kind == Kind::Bool;
}

bool is_array(Kind kind) {
    return kind == Kind::UInt8Array2D || kind == Kind::UInt8Array3D ||
           kind == Kind::Int32Array1D;
}

[[noreturn]] void too_many_positional(const Signature &s, Py_ssize_t given) {
    std::size_t least = s.required;
    if (least == s.count)
        raise(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
              s.name, s.count, given);
    raise(PyExc_TypeError,
          "%s() takes from %zu to %zu positional arguments but %zd were given", s.name,
          least, s.count, given);
}

std::size_t parameter_index(const Signature &s, PyObject *keyword) {
    for (std::size_t i = 0; i < s.count; ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, s.parameters[i].name) == 0)
            return i;
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name,
          keyword);
}

Slots match(const Signature &s, PyObject *defaults, PyObject *const *args,
            Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs > static_cast<Py_ssize_t>(s.count))
        too_many_positional(s, nargs);
    Slots slots{};
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = parameter_index(s, keyword);
        if (slots[i])
            raise(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                  s.name, s.parameters[i].name);
        slots[i] = args[nargs + k];
    }
    std::size_t first_default = s.required;
    for (std::size_t i = 0; i < s.count; ++i) {
        if (slots[i])
            continue;
        if (i < first_default)
            raise(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                  s.name, s.parameters[i].name, i + 1);
        slots[i] = PyTuple_GET_ITEM(defaults, i - first_default);
    }
    return slots;
}

void convert_scalar(const Parameter &p, PyObject *given, Value &value) {
    switch (p.kind) {
        case Kind::Int: value.integer = to_int32(given); break;
        case Kind::Long: value.integer = to_int64(given); break;
        case Kind::Float: value.real = to_double(given); break;
        case Kind::Bool: value.truth = to_bool(given); break;
        default: break;
    }
}

void check_object_type(const Parameter &p, PyObject *given) {
    if (given == Py_None)
        return;
    if (p.kind == Kind::Text && !PyUnicode_CheckExact(given))
        raise(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got %s)",
              p.name, Py_TYPE(given)->tp_name);
    if (is_array(p.kind) && !is_ndarray(given))
        raise(PyExc_TypeError,
              "Argument '%s' has incorrect type (expected numpy.ndarray, got %s)", p.name,
              Py_TYPE(given)->tp_name);
}

void check_array_layout(const Parameter &p, PyObject *given) {
    if (given == Py_None)
        return;
    switch (p.kind) {
        case Kind::UInt8Array2D: check_array(given, p.name, Element::UInt8, 2); break;
        case Kind::UInt8Array3D: check_array(given, p.name, Element::UInt8, 3); break;
        case Kind::Int32Array1D: check_array(given, p.name, Element::Int32, 1); break;
        default: break;
    }
}

}  // namespace

BoundArguments bind_arguments(const Signature &s, PyObject *defaults,
                              PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    Slots slots = match(s, defaults, args, nargs, kwnames);
    BoundArguments bound;
    for (std::size_t i = 0; i < s.count; ++i)
        bound[i].object = slots[i];
    for (std::size_t i = 0; i < s.count; ++i)
        if (is_scalar(s.parameters[i].kind))
            convert_scalar(s.parameters[i], slots[i], bound[i]);
    for (std::size_t i = 0; i < s.count; ++i)
        if (s.parameters[i].kind == Kind::Text)
            check_object_type(s.parameters[i], slots[i]);
    for (std::size_t i = 0; i < s.count; ++i)
        if (is_array(s.parameters[i].kind))
            check_object_type(s.parameters[i], slots[i]);
    for (std::size_t i = 0; i < s.count; ++i)
        check_array_layout(s.parameters[i], slots[i]);
    return bound;
}

}  // namespace velmar
