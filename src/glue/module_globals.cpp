#include "glue/module_globals.h"

#include "glue/errors.h"

namespace nb = nanobind;

namespace velmar {
namespace {

nb::object import_module(const char *name) {
    return steal_checked(PyImport_ImportModule(name));
}

}  // namespace

void set_global(nb::handle globals, const char *name, nb::handle value) {
    if (PyDict_SetItemString(globals.ptr(), name, value.ptr()) < 0)
        throw nb::python_error();
}

void import_modules(nb::handle globals) {
    set_global(globals, "sys", import_module("sys"));
    set_global(globals, "os", import_module("os"));
    set_global(globals, "time", import_module("time"));
    nb::object datetime = import_module("datetime");
    set_global(globals, "datetime", datetime.attr("datetime"));
    set_global(globals, "timedelta", datetime.attr("timedelta"));
    set_global(globals, "csv", import_module("csv"));
    set_global(globals, "np", import_module("numpy"));
    set_global(globals, "cv2", import_module("cv2"));
    set_global(globals, "caputil", import_module("caputil"));
}

}  // namespace velmar
