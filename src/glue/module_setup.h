// Setting up a module with nanobind's initialisation done by hand. nanobind's
// NB_MODULE wraps any failure in an ImportError; here the first step that
// fails (a missing library, an interrupt) reaches the importer as itself.
#pragma once

#include <Python.h>

namespace velmar {

// Fills a module's namespace; raises (throws) on failure.
using ModuleSetup = void (*)(PyObject *module);

// The module's exec step: nanobind's set-up, NumPy's C API, the library
// modules, then `setup`. 0 on success, -1 with the error set.
int exec_module(PyObject *module, ModuleSetup setup);

// The module definition PyInit_<name> returns; `exec` calls exec_module.
PyObject *define_module(const char *name, int (*exec)(PyObject *));

}  // namespace velmar
