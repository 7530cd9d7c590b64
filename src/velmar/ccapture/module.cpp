// Entry point of velmar.ccapture. Importing the module binds NumPy's C API,
// imports the modules the operations use into the namespace, then creates
// the three callables. The first step that fails aborts the import with its
// own exception (nanobind's NB_MODULE would wrap it in an ImportError, so the
// module is set up here with nanobind's initialisation done by hand).
#include <nanobind/nanobind.h>

#include "velmar/ccapture/callables.h"
#include "glue/errors.h"
#include "glue/module_globals.h"
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
