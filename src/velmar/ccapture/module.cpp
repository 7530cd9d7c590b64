// Entry point of velmar.ccapture. Importing the module binds NumPy's C API,
// imports the modules the operations use into the namespace, then creates
// the three callables. The first step that fails aborts the import with its
// own exception (nanobind's NB_MODULE would wrap it in an ImportError, so the
// module is set up here with nanobind's initialisation done by hand).
#include <nanobind/nanobind.h>

#include "velmar/ccapture/callables.h"
#include "velmar/ccapture/errors.h"
#include "velmar/ccapture/function_type.h"
#include "velmar/ccapture/namespace.h"
#include "velmar/ccapture/numpy_binding.h"

namespace nb = nanobind;

namespace velmar {
namespace {

void set_global(nb::handle globals, const char *name, nb::handle value) {
    if (PyDict_SetItemString(globals.ptr(), name, value.ptr()) < 0)
        throw nb::python_error();
}

nb::object import_module(const char *name) {
    return steal_checked(PyImport_ImportModule(name));
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

void create_callables(nb::handle globals) {
    nb::object type = make_function_type();
    nb::object names = make_global_names();
    for (const Signature *s :
         {&check_motion_rgb_signature, &check_motion_gray_signature, &vcapture_signature})
        set_global(globals, s->name, make_function(type, *s, globals, names));
}

int exec_ccapture(PyObject *module) {
    nb::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, module);
    if (!nb::detail::internals)
        return -1;
    try {
        bind_numpy();
        nb::handle globals = PyModule_GetDict(module);
        import_modules(globals);
        create_callables(globals);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return -1;
}

}  // namespace
}  // namespace velmar

extern "C" NB_EXPORT PyObject *PyInit_ccapture() {
    nb::detail::init_singletons();
    if (!nb::detail::nb_backend_init("ccapture"))
        return nullptr;
    static PyObject *definition = NB_CALL(module_new)(
        "ccapture", nullptr, reinterpret_cast<void *>(velmar::exec_ccapture),
        NB_ABI_MINOR_TAG);
    return definition;
}
