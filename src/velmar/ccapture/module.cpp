// Entry point of velmar.ccapture. Importing the module binds NumPy's C API,
// imports the modules the operations use into the namespace, then creates
// the three callables. The first step that fails aborts the import with its
// own exception.
#include <nanobind/nanobind.h>

#include "velmar/ccapture/callables.h"
#include "glue/errors.h"
#include "glue/module_globals.h"
#include "glue/module_setup.h"
#include "velmar/ccapture/function_type.h"
#include "glue/namespace.h"
#include "glue/numpy_binding.h"

namespace nb = nanobind;

namespace velmar {
namespace {

void create_callables(nb::handle globals) {
    nb::object type = make_function_type();
    nb::object names = make_global_names();
    for (const Signature *s :
         {&check_motion_rgb_signature, &check_motion_gray_signature, &vcapture_signature})
        set_global(globals, s->name, make_function(type, *s, globals, names));
}

void set_up(PyObject *module) { create_callables(PyModule_GetDict(module)); }

int exec_ccapture(PyObject *module) { return exec_module(module, set_up); }

}  // namespace
}  // namespace velmar

extern "C" NB_EXPORT PyObject *PyInit_ccapture() {
    static PyObject *definition = velmar::define_module("ccapture", velmar::exec_ccapture);
    return definition;
}
