#include "capture/stop_list.h"

#include <csignal>

namespace velmar::capture {
namespace {

// The stops the recording API's own watchers note by name.
struct NamedStop {
    const char *name;
    Stop stop;
};

const NamedStop named_stops[] = {
    {"disk_full", Stop::DiskFull},
    {"source_lost", Stop::SourceLost},
};

}  // namespace

bool signal_noted(const Options &o) {
    return !o.stop.is_none() && PyList_GET_SIZE(o.stop.ptr()) > 0;
}

Stop signal_stop(const Options &o) {
    if (!signal_noted(o))
        return Stop::Interrupt;
    PyObject *first = PyList_GET_ITEM(o.stop.ptr(), 0);
    if (PyUnicode_Check(first))
        for (const NamedStop &entry : named_stops)
            if (PyUnicode_CompareWithASCIIString(first, entry.name) == 0)
                return entry.stop;
    if (!PyLong_Check(first))
        return Stop::Terminate;
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(first, &overflow);
    return overflow == 0 && number == SIGINT ? Stop::Interrupt : Stop::Terminate;
}

}  // namespace velmar::capture
