// The module's global names, looked up each time an operation uses them, the
// way a Python function reads its globals: the module dict first, then the
// builtins. Callers and tests may therefore replace `cv2`, `print` or any
// other name in the module and the next use sees the replacement.
#pragma once

#include <nanobind/nanobind.h>

namespace velmar {

// The globals the operations use, and the keywords of the library calls they
// make on every frame. Their interned names are made once, when the module is
// imported, and shared by the callables.
enum class Global { sys, os, time, datetime, timedelta, csv, np, cv2, caputil, print, open, int_ };
enum class Keyword { iterations, days, seconds, timespec };
// Attributes the motion check reads on every call.
enum class Attr {
    GaussianBlur, absdiff, threshold, THRESH_BINARY, dilate, findContours, RETR_EXTERNAL,
    CHAIN_APPROX_SIMPLE, contourArea, CV2_MAJOR, cvtColor, COLOR_BGR2GRAY,
};

// A tuple of the interned names: those of Global, Keyword, then Attr.
nanobind::object make_global_names();

class Namespace {
public:
    Namespace(PyObject *globals, PyObject *names) : globals_(globals), names_(names) {}

    // NameError when the name is neither a global nor a builtin.
    nanobind::object operator[](Global name) const;

    // The interned keyword, borrowed.
    nanobind::handle keyword(Keyword name) const;

    // `owner.name`; read straight from the dict of a plain module, which
    // gives the same object as the attribute protocol without its detour.
    nanobind::object get(nanobind::handle owner, Attr name) const;

private:
    PyObject *globals_;  // borrowed: the callable that runs owns both
    PyObject *names_;
};

}  // namespace velmar
