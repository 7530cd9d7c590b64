#include "capture/setup.h"

#include <string>

#include "capture/console.h"
#include "capture/stop_list.h"
#include "glue/conversions.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

bool platform_is(const Session &s, const char *name) {
    nb::object platform = s.ns[Global::sys].attr("platform");
    return to_bool(platform.attr("startswith")(name).ptr());
}

// The DirectShow back-end is asked for only by interactive sessions on Windows.
bool wants_directshow(const Session &s) {
    nb::object platform = s.ns[Global::sys].attr("platform");
    return s.opt.interactive && platform.equal(nb::str("win32"));
}

// Console text built in C++ reaches `print` as a Python str.
nb::str text(const std::string &line) { return nb::str(line.data(), line.size()); }

bool is_opened(const Session &s) { return to_bool(s.input.cap.attr("isOpened")().ptr()); }

std::int32_t get_int32(const Session &s, const char *property) {
    nb::object value = s.input.cap.attr("get")(s.cv2().attr(property));
    return to_int32(value.ptr());
}

// A negative index asks for any camera. OpenCV's default back-end can crash
// the process on it when no camera is present; V4L2 answers with a capture
// that is not open, so on Linux the index goes there.
nb::object open_camera(const Session &s) {
    if (!s.hooks.opener.is_none())
        return s.hooks.opener(s.input.iinput);
    nb::object open = s.cv2().attr("VideoCapture");
    if (wants_directshow(s))
        return open(s.input.iinput, s.cv2().attr("CAP_DSHOW"));
    if (s.input.iinput < 0 && platform_is(s, "linux"))
        return open(s.input.iinput, s.cv2().attr("CAP_V4L2"));
    return open(s.input.iinput);
}

// A measured rate is the one requested from a camera, the one the caller
// measured for a file, or the one OpenCV reports; 30 when none makes sense.
void take_rate(Session &s, double requested) {
    if (!s.behaviour.rate_is_measured)
        return;
    double reported = to_double(s.input.cap.attr("get")(s.cv2().attr("CAP_PROP_FPS")).ptr());
    double rate = requested > 0 ? requested : reported;
    s.input.rate = rate > 0 && rate <= 1000 ? rate : 30.0;
    s.input.fps = static_cast<std::int32_t>(s.input.rate);
}

bool set_up_camera(Session &s) {
    const Options &r = s.opt;
    s.input.cap = open_camera(s);
    if (r.width > 0)
        s.input.cap.attr("set")(s.cv2().attr("CAP_PROP_FRAME_WIDTH"), r.width);
    if (r.height > 0)
        s.input.cap.attr("set")(s.cv2().attr("CAP_PROP_FRAME_HEIGHT"), r.height);
    if (s.input.fps > 0)
        s.input.cap.attr("set")(s.cv2().attr("CAP_PROP_FPS"), s.input.fps);
    if (r.config)
        s.input.cap.attr("set")(s.cv2().attr("CAP_PROP_SETTINGS"), 1);
    take_rate(s, s.input.fps);
    say(s, text("Camera FPS set to " + std::to_string(s.input.fps)));
    s.input.tstart = s.ns[Global::datetime].attr("now")();
    std::int32_t w_ = get_int32(s, "CAP_PROP_FRAME_WIDTH");
    std::int32_t h_ = get_int32(s, "CAP_PROP_FRAME_HEIGHT");
    say(s, text("Frame size: " + std::to_string(w_) + "x" + std::to_string(h_)));
    if (!r.whole_frame && !region_fits(r, w_, h_)) {
        say(s, "ROI limits exceed frame size");
        s.result.stop = Stop::Region;
        return false;
    }
    return true;
}

// The file's modification time in local time, whole seconds.
nb::object modification_time(const Session &s) {
    nb::object mtime = s.ns[Global::os].attr("path").attr("getmtime")(s.opt.input_);
    nb::object local = s.ns[Global::time].attr("localtime")(mtime);
    nb::object seconds = s.ns[Global::time].attr("mktime")(local);
    return s.ns[Global::datetime].attr("fromtimestamp")(seconds);
}

// Live sources start now; files and image sequences at the start time the
// caller gives, or else at the file's modification time.
nb::object start_time(const Session &s) {
    if (s.opt.live)
        return s.ns[Global::datetime].attr("now")();
    if (!s.opt.start.is_none())
        return nb::borrow(s.opt.start);
    return modification_time(s);
}

// A file, an image sequence, a device path or a stream URL.
bool set_up_file(Session &s) {
    nb::handle path = s.opt.input_;
    s.input.tstart = start_time(s);
    nb::object name = plain_str(path);
    s.input.cap =
        s.hooks.opener.is_none() ? s.cv2().attr("VideoCapture")(name) : s.hooks.opener(path);
    if (!is_opened(s) && wants_directshow(s) && s.hooks.opener.is_none())
        s.input.cap = s.cv2().attr("VideoCapture")(name, s.cv2().attr("CAP_DSHOW"));
    say(s, "Input from file", path, "Open?", nb::bool_(is_opened(s)));
    if (!is_opened(s)) {
        say(s, nb::str("Could not open video file ") + nb::str(path) + nb::str(" for reading."));
        // An opening cut short by a signal, or given up, ends for that reason.
        s.result.stop = signal_noted(s.hooks) ? signal_stop(s.hooks) : Stop::NotOpened;
        return false;
    }
    s.input.fps = get_int32(s, "CAP_PROP_FPS");
    take_rate(s, s.opt.rate);
    nb::object count = s.input.cap.attr("get")(s.cv2().attr("CAP_PROP_FRAME_COUNT"));
    s.result.frame_count = to_int64(count.ptr());
    say(s, "Frames to process", nb::int_(s.result.frame_count));
    return true;
}

// `int(input_)`: a camera index when it converts, otherwise a file path.
// A ValueError from any camera step also falls back to the file.
bool set_up_camera_or_file(Session &s) {
    try {
        nb::object index = s.ns[Global::int_](s.opt.input_);
        s.input.iinput = to_int32(index.ptr());
        return set_up_camera(s);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
    }
    return set_up_file(s);
}

// An int is a camera index; anything else names a file.
bool set_up_by_python_type(Session &s) {
    if (PyLong_Check(s.opt.input_.ptr())) {
        s.input.iinput = to_int32(s.opt.input_.ptr());
        return set_up_camera(s);
    }
    return set_up_file(s);
}

}  // namespace

bool set_up_input(Session &s) {
    if (s.behaviour.source_kind_is_python_type)
        return set_up_by_python_type(s);
    // A negative fps asks for 30 of whichever kind int() finds.
    if (s.input.fps < 0)
        s.input.fps = 30;
    return set_up_camera_or_file(s);
}

}  // namespace velmar::capture
