#include "glue/module_setup.h"

#include <nanobind/nanobind.h>

#include <new>

#include "glue/module_globals.h"
#include "glue/numpy_binding.h"

namespace nb = nanobind;

namespace velmar {

int exec_module(PyObject *module, ModuleSetup setup) {
    nb::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, module);
    if (!nb::detail::internals)
        return -1;
    try {
        bind_numpy();
        import_modules(PyModule_GetDict(module));
        setup(module);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return -1;
}

PyObject *define_module(const char *name, int (*exec)(PyObject *)) {
    nb::detail::init_singletons();
    if (!nb::detail::nb_backend_init(name))
        return nullptr;
    return NB_CALL(module_new)(name, nullptr, reinterpret_cast<void *>(exec), NB_ABI_MINOR_TAG);
}

}  // namespace velmar
