// One table per callable: each parameter's name, kind and default. Matching,
// conversion, `__defaults__` and `__signature__` are all derived from it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace velmar {

class Namespace;
class BoundArguments;

enum class Kind {
    Int,           // signed 32-bit
    Long,          // signed 64-bit
    Float,         // double
    Bool,          // truth value of any object
    Text,          // exact str, or None
    UInt8Array2D,  // numpy.ndarray of uint8 with 2 dimensions, or None
    UInt8Array3D,  // numpy.ndarray of uint8 with 3 dimensions, or None
    Int32Array1D,  // numpy.ndarray of int32 with 1 dimension, or None
};

struct Default {
    enum class Tag { Required, Int, Bool };
    Tag tag;
    long value;
};

constexpr Default required{Default::Tag::Required, 0};
constexpr Default default_int(long value) { return {Default::Tag::Int, value}; }
constexpr Default default_bool(bool value) { return {Default::Tag::Bool, value}; }

struct Parameter {
    const char *name;
    Kind kind;
    Default fallback;
};

// The operation behind a callable, given the module namespace and the
// converted arguments; returns a new reference.
using Operation = PyObject *(*)(const Namespace &, const BoundArguments &);

struct Signature {
    const char *name;
    const Parameter *parameters;
    std::size_t count;
    std::size_t required;  // leading parameters without a default
    Operation run;
};

// The signature of `parameters`, its count of required parameters derived
// from the table when the table is defined.
template <std::size_t N>
constexpr Signature make_signature(const char *name, const Parameter (&parameters)[N],
                                   Operation run) {
    std::size_t required = 0;
    while (required < N && parameters[required].fallback.tag == Default::Tag::Required)
        ++required;
    return {name, parameters, N, required, run};
}

constexpr std::size_t max_parameters = 26;

}  // namespace velmar
