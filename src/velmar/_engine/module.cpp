// velmar._engine: the private entry of the recording API. It runs the same
// capture engine as velmar.ccapture.vcapture, with options given by name and
// a result that says what was written and why the session stopped.
#include <nanobind/nanobind.h>

#include "capture/engine.h"
#include "capture/options.h"
#include "glue/errors.h"
#include "glue/module_setup.h"
#include "glue/namespace.h"
#include "glue/numpy_binding.h"

namespace nb = nanobind;

namespace velmar {
namespace {

const char *stop_name(capture::Stop stop) {
    switch (stop) {
        case capture::Stop::End: return "end";
        case capture::Stop::Duration: return "duration";
        case capture::Stop::Key: return "key";
        case capture::Stop::Interrupt: return "interrupt";
        case capture::Stop::Signal: return "signal";
        case capture::Stop::Region: return "region";
        case capture::Stop::NotOpened: return "not_opened";
        case capture::Stop::Missing: return "missing";
    }
    return "end";
}

void require_type(nb::handle value, bool ok, const char *name, const char *expected) {
    if (!ok)
        raise(PyExc_TypeError, "option '%s' must be %s, not %s", name, expected,
              Py_TYPE(value.ptr())->tp_name);
}

// The object options reach code that trusts their types.
void check_objects(const capture::Options &o) {
    require_type(o.input_, PyLong_Check(o.input_.ptr()) || PyUnicode_Check(o.input_.ptr()),
                 "input_", "int or str");
    require_type(o.output, PyUnicode_Check(o.output.ptr()), "output", "str");
    require_type(o.fmt, PyUnicode_Check(o.fmt.ptr()), "fmt", "str");
    for (auto [colour, name] : {std::pair{o.tb, "tb"}, std::pair{o.tc, "tc"}}) {
        if (colour.is_none())
            continue;
        require_type(colour, is_ndarray(colour.ptr()), name, "numpy.ndarray");
        check_array(colour.ptr(), name, Element::Int32, 1);
    }
}

capture::Options options_of(nb::dict given) {
    capture::Options options;
    options.exact = false;
    for (auto [key, value] : given) {
        if (!PyUnicode_Check(key.ptr()))
            raise(PyExc_TypeError, "option names must be str");
        Py_ssize_t size = 0;
        const char *name = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
        if (!name)
            throw nb::python_error();
        capture::set_option(options, std::string_view(name, size), value.ptr());
    }
    check_objects(options);
    return options;
}

nb::tuple result_of(const capture::Result &r) {
    nb::list files;
    for (const capture::OutputFile &file : r.files)
        files.append(nb::make_tuple(file.video, file.log, file.frames));
    return nb::make_tuple(r.frames_read, r.frames_kept, r.frame_count, r.position, r.rate,
                          stop_name(r.stop), files);
}

nb::tuple run(nb::handle globals, nb::handle names, nb::dict options) {
    Namespace ns(globals.ptr(), names.ptr());
    return result_of(capture::run_session(ns, options_of(options)));
}

void set_up(PyObject *module) {
    nb::module_ m = nb::borrow<nb::module_>(module);
    nb::object globals = nb::borrow(PyModule_GetDict(module));
    nb::object names = make_global_names();
    m.def(
        "run", [globals, names](nb::dict options) { return run(globals, names, options); },
        nb::arg("options"),
        "Run one capture session; returns (frames_read, frames_kept, frame_count, position, "
        "rate, stop, files).");
}

// Set up like velmar.ccapture: a failing import (an interrupt among them)
// reaches the caller as itself, not wrapped in an ImportError.
int exec_engine(PyObject *module) { return exec_module(module, set_up); }

}  // namespace
}  // namespace velmar

extern "C" NB_EXPORT PyObject *PyInit__engine() {
    static PyObject *definition = velmar::define_module("_engine", velmar::exec_engine);
    return definition;
}
