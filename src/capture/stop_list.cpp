#include "capture/stop_list.h"

#include <csignal>

#include "capture/stop_names.h"

namespace velmar::capture {
namespace {

// The stops the recording API's own watchers note by name.
constexpr Stop named_stops[] = {Stop::DiskFull, Stop::SourceLost};

}  // namespace

bool signal_noted(const Hooks &h) {
    return !h.stop.is_none() && PyList_GET_SIZE(h.stop.ptr()) > 0;
}

Stop signal_stop(const Hooks &h) {
    if (!signal_noted(h))
        return Stop::Interrupt;
    PyObject *first = PyList_GET_ITEM(h.stop.ptr(), 0);
    if (PyUnicode_Check(first))
        for (Stop stop : named_stops)
            if (PyUnicode_CompareWithASCIIString(first, stop_name(stop)) == 0)
                return stop;
    if (!PyLong_Check(first))
        return Stop::Terminate;
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(first, &overflow);
    return overflow == 0 && number == SIGINT ? Stop::Interrupt : Stop::Terminate;
}

}  // namespace velmar::capture
