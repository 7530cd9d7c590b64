#include "capture/shutdown.h"

#include "capture/console.h"
#include "capture/frame_loop.h"
#include "velmar/ccapture/conversions.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

// The loop with the two exceptions the session handles itself.
LoopEnd run_handled_loop(Session &s) {
    try {
        return run_frame_loop(s);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt))
            print(s.ns, "Caught keyboard interrupt");
        else if (e.matches(PyExc_FileNotFoundError))
            print(s.ns, "Could not find one or more file paths");
        else
            throw;
    }
    return LoopEnd::Stopped;
}

void clean_up(Session &s) {
    s.cap.attr("release")();
    if (!s.outfile.is_none() && to_bool(s.outfile.attr("isOpened")().ptr()))
        s.outfile.attr("release")();
    if (!s.tsfile.is_none())
        s.tsfile.attr("close")();
    s.cv2().attr("destroyAllWindows")();
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

std::int64_t run_guarded_loop(Session &s) {
    LoopEnd end;
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
    return end == LoopEnd::RegionMismatch ? 0 : s.read_frames;
}

}  // namespace velmar::capture
