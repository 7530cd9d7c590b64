#include "capture/shutdown.h"

#include <optional>
#include <utility>

#include "capture/console.h"
#include "capture/events.h"
#include "capture/frame_loop.h"
#include "capture/stop_list.h"
#include "glue/conversions.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

// An OS error of the log's writing names the log, so the caller learns
// which file failed and why.
void name_failed_file(const Session &s, nb::python_error &e) {
    if (!s.behaviour.os_error_names_log || !e.matches(PyExc_OSError) ||
        s.output.tsfname.is_none())
        return;
    nb::object error = nb::borrow(e.value());
    // Only an error of the system's own (one with an errno) is about a file.
    if (nb::getattr(error, "filename", nb::none()).is_none() &&
        !nb::getattr(error, "errno", nb::none()).is_none())
        error.attr("filename") = s.output.tsfname;
}

// The loop with the exceptions the session handles itself. An interrupt
// while a signal is noted is that signal's end.
Stop run_handled_loop(Session &s) {
    try {
        return run_frame_loop(s);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt)) {
            say(s, "Caught keyboard interrupt");
            return signal_stop(s.hooks);
        }
        if (s.behaviour.missing_path_ends_quietly && e.matches(PyExc_FileNotFoundError)) {
            say(s, "Could not find one or more file paths");
            return Stop::Missing;
        }
        name_failed_file(s, e);
        throw;
    }
}

void release_all(Session &s) {
    s.input.cap.attr("release")();
    if (!s.output.outfile.is_none() && to_bool(s.output.outfile.attr("isOpened")().ptr()))
        s.output.outfile.attr("release")();
    if (!s.output.tsfile.is_none())
        s.output.tsfile.attr("close")();
    s.cv2().attr("destroyAllWindows")();
}

// The open event is finished and reported first, while its files are open;
// whatever happens there, everything is still released.
void clean_up(Session &s) {
    std::optional<nb::python_error> failed;
    try {
        finish_events(s);
    } catch (nb::python_error &e) {
        failed.emplace(e);
    }
    release_all(s);
    if (failed)
        throw std::move(*failed);
}

// A failing clean-up step replaces the exception the loop was leaving with,
// which it keeps as its context, as a Python `finally` would.
void clean_up_after(Session &s, nb::python_error &leaving) {
    try {
        clean_up(s);
    } catch (nb::python_error &later) {
        PyException_SetContext(later.value().ptr(), nb::borrow(leaving.value()).release().ptr());
        throw;
    }
}

}  // namespace

void run_guarded_loop(Session &s) {
    Stop end;
    try {
        end = run_handled_loop(s);
    } catch (nb::python_error &e) {
        clean_up_after(s, e);
        throw;
    } catch (...) {
        clean_up(s);
        throw;
    }
    clean_up(s);
    s.result.stop = end;
}

}  // namespace velmar::capture
