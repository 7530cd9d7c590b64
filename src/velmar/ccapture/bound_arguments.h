// Arguments after the binding: scalars converted, objects checked. Objects
// are borrowed from the call's own argument vector, which outlives the
// operation.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "velmar/ccapture/parameters.h"

namespace velmar {

struct Value {
    std::int64_t integer = 0;
    double real = 0.0;
    bool truth = false;
    PyObject *object = nullptr;  // the argument as given (borrowed)
};

class BoundArguments {
public:
    std::int32_t int32(std::size_t i) const { return static_cast<std::int32_t>(values_[i].integer); }
    std::int64_t int64(std::size_t i) const { return values_[i].integer; }
    double real(std::size_t i) const { return values_[i].real; }
    bool truth(std::size_t i) const { return values_[i].truth; }
    PyObject *object(std::size_t i) const { return values_[i].object; }

    Value &operator[](std::size_t i) { return values_[i]; }

private:
    std::array<Value, max_parameters> values_{};
};

}  // namespace velmar
