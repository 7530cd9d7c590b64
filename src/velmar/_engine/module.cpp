// velmar._engine: the private entry of the recording API. It runs the same
// capture engine as velmar.ccapture.vcapture, with options given by name and
// a result that says what was written and why the session stopped.
#include <nanobind/nanobind.h>

#include <string>

#include "capture/behaviour.h"
#include "capture/engine.h"
#include "capture/events.h"
#include "capture/hooks.h"
#include "capture/options.h"
#include "capture/result.h"
#include "capture/stop_names.h"
#include "glue/errors.h"
#include "glue/module_setup.h"
#include "glue/namespace.h"
#include "glue/numpy_binding.h"

namespace nb = nanobind;

namespace velmar {
namespace {

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

// The options' object values are borrowed from a copy of the dict that the
// session holds, so a hook that changes the caller's dict cannot free them;
// the hooks are read once and held, owned, until the session returns.
capture::Result run(nb::handle globals, nb::handle names, nb::dict options, nb::handle hooks) {
    Namespace ns(globals.ptr(), names.ptr());
    nb::dict held = nb::borrow<nb::dict>(steal_checked(PyDict_Copy(options.ptr())));
    capture::Options plain = options_of(held);
    capture::Hooks called = capture::hooks_of(hooks);
    return capture::run_session(ns, plain, called, capture::recording_profile());
}

nb::object frame_count_of(const capture::Result &r) {
    return r.frame_count < 0 ? nb::none() : nb::object(nb::int_(r.frame_count));
}

nb::list files_of(const capture::Result &r) {
    nb::list files;
    for (const capture::OutputFile &file : r.files)
        files.append(nb::cast(file, nb::rv_policy::copy));
    return files;
}

void bind_result(nb::module_ &m) {
    nb::class_<capture::OutputFile>(m, "WrittenFile", "A video and its log, with its frames.")
        .def_ro("video", &capture::OutputFile::video)
        .def_ro("log", &capture::OutputFile::log)
        .def_ro("frames", &capture::OutputFile::frames)
        .def("__repr__", [](nb::handle self) {
            return nb::str("WrittenFile(video={0.video!r}, log={0.log!r}, frames={0.frames})")
                .format(self);
        });
    nb::class_<capture::Result>(m, "Result", "What one capture session read, kept and wrote.")
        .def_ro("frames_read", &capture::Result::frames_read)
        .def_ro("frames_kept", &capture::Result::frames_kept)
        .def_prop_ro("frame_count", frame_count_of, "Frames the input reports; None if unknown.")
        .def_ro("position", &capture::Result::position, "Seconds of input up to the last read.")
        .def_ro("rate", &capture::Result::rate, "Frames per second the videos were written at.")
        .def_prop_ro("stop", [](const capture::Result &r) { return capture::stop_name(r.stop); })
        .def_prop_ro("files", files_of)
        .def("__repr__", [](nb::handle self) {
            return nb::str("Result(frames_read={0.frames_read}, frames_kept={0.frames_kept}, "
                           "frame_count={0.frame_count}, position={0.position!r}, "
                           "rate={0.rate!r}, stop={0.stop!r}, files={0.files!r})")
                .format(self);
        });
}

void bind_event(nb::module_ &m) {
    using capture::EndedEvent;
    nb::class_<EndedEvent>(m, "EndedEvent", "A motion event, told to on_event as it ends.")
        .def_ro("first_frame", &EndedEvent::first_frame)
        .def_ro("last_frame", &EndedEvent::last_frame)
        .def_ro("start", &EndedEvent::start, "The first frame's time, as in the frame log.")
        .def_ro("end", &EndedEvent::end, "The last frame's time, as in the frame log.")
        .def_ro("seconds", &EndedEvent::seconds)
        .def_ro("frames", &EndedEvent::frames, "Frames written.")
        .def_ro("video", &EndedEvent::video)
        .def_ro("thumbnail", &EndedEvent::thumbnail, "The frame of its largest motion.")
        .def("__repr__", [](nb::handle self) {
            return nb::str("EndedEvent(first_frame={0.first_frame}, last_frame={0.last_frame}, "
                           "start={0.start!r}, end={0.end!r}, seconds={0.seconds!r}, "
                           "frames={0.frames}, video={0.video!r})")
                .format(self);
        });
}

// STOPS: the names in the table's order.
nb::tuple stop_names() {
    nb::list names;
    for (const capture::StopName &entry : capture::stop_names)
        names.append(entry.name);
    return nb::tuple(names);
}

// `run`'s docstring names the stops from the same table.
std::string run_doc() {
    std::string names;
    for (const capture::StopName &entry : capture::stop_names)
        names += std::string(names.empty() ? "'" : ", '") + entry.name + "'";
    return "Run one capture session with the plain options given by name and the hooks "
           "read from `hooks`' attributes; returns a Result: frames read and kept, the "
           "input's frame count, the position and rate, why it stopped (one of STOPS: " +
           names + ") and the files written.";
}

void set_up(PyObject *module) {
    nb::module_ m = nb::borrow<nb::module_>(module);
    nb::object globals = nb::borrow(PyModule_GetDict(module));
    nb::object names = make_global_names();
    bind_result(m);
    bind_event(m);
    m.attr("STOPS") = stop_names();
    m.def(
        "run",
        [globals, names](nb::dict options, nb::handle hooks) {
            return run(globals, names, options, hooks);
        },
        nb::arg("options"), nb::arg("hooks"), run_doc().c_str());
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
