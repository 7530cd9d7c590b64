// The module's global names, looked up each time an operation uses them, the
// way a Python function reads its globals: the module dict first, then the
// builtins. Callers and tests may therefore replace `cv2`, `print` or any
// other name in the module and the next use sees the replacement.
#pragma once

#include <nanobind/nanobind.h>

namespace velmar {

class Namespace {
public:
    explicit Namespace(PyObject *globals) : globals_(globals) {}

    // NameError when the name is neither a global nor a builtin.
    nanobind::object operator[](const char *name) const;

    nanobind::handle dict() const { return globals_; }

private:
    PyObject *globals_;  // borrowed: the callable that runs owns it
};

}  // namespace velmar
