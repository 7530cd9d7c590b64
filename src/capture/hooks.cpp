#include "capture/hooks.h"

#include "glue/errors.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

struct HookEntry {
    const char *name;
    nb::object Hooks::*field;
};

const HookEntry callables[] = {
    {"progress", &Hooks::progress},   {"writer", &Hooks::writer},
    {"log_opener", &Hooks::log_opener}, {"on_event", &Hooks::on_event},
    {"opener", &Hooks::opener},       {"reconnect", &Hooks::reconnect},
    {"namer", &Hooks::namer},         {"segmenter", &Hooks::segmenter},
    {"detector", &Hooks::detector},
};

// The frame loop reads the stop list directly.
nb::object stop_list_of(nb::handle source) {
    nb::object stop = source.attr("stop");
    if (!stop.is_none() && !PyList_CheckExact(stop.ptr()))
        raise(PyExc_TypeError, "stop must be a list or None, not %s",
              Py_TYPE(stop.ptr())->tp_name);
    return stop;
}

nb::object callable_of(nb::handle source, const char *name) {
    nb::object hook = source.attr(name);
    if (!hook.is_none() && !PyCallable_Check(hook.ptr()))
        raise(PyExc_TypeError,
              "namer, progress, opener, writer, log_opener, segmenter, reconnect, "
              "on_event and detector must be callable or None, not %s",
              Py_TYPE(hook.ptr())->tp_name);
    return hook;
}

}  // namespace

Hooks hooks_of(nb::handle source) {
    Hooks hooks;
    hooks.stop = stop_list_of(source);
    for (const HookEntry &entry : callables)
        hooks.*entry.field = callable_of(source, entry.name);
    return hooks;
}

}  // namespace velmar::capture
